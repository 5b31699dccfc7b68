// SPDX-License-Identifier: MIT
// Dialogs from their templates and the dialog's life cycle: dialog units in a known font, the controls
// of templates 102 and 134 with their kinds, ids, places, groups and tab order, Enter in a multi-line edit,
// and a modal loop that only EndDialog ends while Esc, the close box and the minimize box reach the
// window's message map.
#include "support/EventLoop.h"

#include "platform/Dialog.h"
#include "platform/DialogTemplate.h"
#include "platform/Resources.h"
#include "res/Resource.h"

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <vector>

using namespace platform;

namespace {

// Debian's fonts-wine clone of the 8-point MS Sans Serif that Windows dialogs use at 96 dpi.
constexpr const char* kDialogFontFile = "/usr/share/wine/fonts/ms_sans_serif.ttf";

QFont windowsDialogFont() {
    static const QString family = [] {
        const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(kDialogFontFile));
        return id < 0 ? QString() : QFontDatabase::applicationFontFamilies(id).value(0);
    }();
    QFont font(family);
    font.setPixelSize(11);
    return font;
}

using test::Message;
using test::RecordingDialog;

// A dialog built from a template in the Windows dialog font.
class TemplateTest : public ::testing::Test {
protected:
    void build(int id) {
        ASSERT_FALSE(windowsDialogFont().family().isEmpty()) << kDialogFontFile << " (package fonts-wine)";
        dialog.setFont(windowsDialogFont());
        ASSERT_TRUE(CreateDialogFromTemplate(dialog, id));
    }
    template <typename Widget>
    Widget* control(int id) {
        auto* widget = qobject_cast<Widget*>(dialog.GetDlgItem(id));
        EXPECT_NE(nullptr, widget) << id;
        return widget;
    }

    RecordingDialog dialog;
};

TEST(DialogUnits, WindowsDialogFontGivesWindowsBaseUnitsAndRectanglesRoundToNearest) {
    ASSERT_FALSE(windowsDialogFont().family().isEmpty()) << kDialogFontFile << " (package fonts-wine)";
    const DialogBaseUnits units = GetDialogBaseUnits(windowsDialogFont());
    EXPECT_EQ(6, units.x);
    EXPECT_EQ(13, units.y);
    EXPECT_EQ(QRect(3, 20, 236, 49), MapDialogRect(units, 2, 12, 157, 30));
    EXPECT_EQ(QRect(32, 24, 179, 93), MapDialogRect(units, 21, 15, 119, 57));

    // A wider font gives wider units, and the layout scales with it.
    QFont wide(QStringLiteral("DejaVu Sans"));
    wide.setPixelSize(12);
    EXPECT_GT(GetDialogBaseUnits(wide).x, units.x);
}

TEST_F(TemplateTest, MainWindowHasItsControlsByIdWhereTheTemplatePutsThem) {
    build(IDD_CHIMELY_DIALOG);
    EXPECT_EQ(QString::fromLatin1(kMainDialogCaption), dialog.windowTitle());
    EXPECT_EQ(QSize(242, 249), dialog.size());
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    const Qt::WindowFlags flags = dialog.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(Qt::Window, flags & Qt::WindowType_Mask);

    EXPECT_EQ(QStringLiteral("To:"), control<QLabel>(IDC_TO_LABEL)->text());
    EXPECT_EQ(QStringLiteral("Message:"), control<QLabel>(IDC_MESSAGE_LABEL)->text());
    QComboBox* to = control<QComboBox>(IDC_TO);
    EXPECT_TRUE(to->isEditable());
    EXPECT_EQ(QComboBox::NoInsert, to->insertPolicy());
    // The template's 30 units are the dropped-down list; the box is one line high.
    EXPECT_EQ(QRect(3, 20, 236, to->sizeHint().height()), to->geometry());
    QPlainTextEdit* message = control<QPlainTextEdit>(IDC_MESSAGE);
    EXPECT_EQ(QRect(3, 63, 236, 146), message->geometry());
    EXPECT_EQ(Qt::ScrollBarAlwaysOn, message->verticalScrollBarPolicy());
    auto* send = control<QPushButton>(IDC_SEND);
    EXPECT_TRUE(send->isDefault());
    EXPECT_EQ(QStringLiteral("Send"), send->text());
    EXPECT_FALSE(control<QPushButton>(IDC_HOME)->isDefault());

    // The status panel: hidden, read-only, its text at the top of its tall box.
    QLineEdit* status = control<QLineEdit>(IDC_STATUS);
    EXPECT_TRUE(status->isReadOnly());
    EXPECT_TRUE(status->alignment() & Qt::AlignTop);
    EXPECT_EQ(QRect(32, 24, 179, 93), status->geometry());
    EXPECT_TRUE(status->isHidden());
    EXPECT_TRUE(control<QPushButton>(IDC_STATUS_OK)->isHidden());
    EXPECT_FALSE(control<QLabel>(IDC_TO_LABEL)->isHidden());

    // Tab order follows the template: To, Message, Send, Home, then the panel's Ok.
    std::vector<QWidget*> order;
    const std::vector<QWidget*> stops{to, message, send, dialog.GetDlgItem(IDC_HOME),
                                      dialog.GetDlgItem(IDC_STATUS_OK)};
    QWidget* walk = to;
    do {
        if (std::find(stops.begin(), stops.end(), walk) != stops.end())
            order.push_back(walk);
        walk = walk->nextInFocusChain();
    } while (walk != to && order.size() < stops.size());
    EXPECT_EQ(stops, order);
}

TEST_F(TemplateTest, PreferencesHasGroupedRadiosPasswordRightAlignedLabelsAndOk) {
    build(IDD_PREFERENCES);
    EXPECT_EQ(QStringLiteral("Preferences"), dialog.windowTitle());
    EXPECT_EQ(Qt::Dialog, dialog.windowFlags() & Qt::WindowType_Mask);
    EXPECT_EQ(1, dialog.findChildren<QGroupBox*>().size());
    EXPECT_EQ(QLineEdit::Password, control<QLineEdit>(IDC_PASSWORD)->echoMode());
    EXPECT_EQ(QLineEdit::Normal, control<QLineEdit>(IDC_SIGNIN_NAME)->echoMode());
    EXPECT_TRUE(control<QPushButton>(IDOK)->isDefault());
    EXPECT_FALSE(control<QPushButton>(IDCANCEL)->isDefault());
    EXPECT_TRUE(control<QLabel>(IDC_SERVER_LABEL)->alignment() & Qt::AlignRight);

    // Two groups: choosing in one leaves the other alone; within one, choosing moves the choice.
    auto* automatic = control<QRadioButton>(IDC_AUTOMATIC_CONFIGURATION);
    auto* configure = control<QRadioButton>(IDC_CONFIGURE_SETTINGS);
    auto* udp = control<QRadioButton>(IDC_UDP);
    auto* tcp = control<QRadioButton>(IDC_TCP);
    ASSERT_NE(nullptr, automatic->group());
    EXPECT_EQ(automatic->group(), configure->group());
    EXPECT_EQ(udp->group(), tcp->group());
    EXPECT_NE(automatic->group(), udp->group());
    EXPECT_EQ(IDC_CONFIGURE_SETTINGS, automatic->group()->id(configure));
    automatic->click();
    udp->click();
    configure->click();
    EXPECT_FALSE(automatic->isChecked());
    EXPECT_TRUE(configure->isChecked());
    EXPECT_TRUE(udp->isChecked());

    // Every control with an id is found by it; unnamed statics are not registered.
    for (int id :
         {IDC_DISPLAY_NAME, IDC_SIGNIN_NAME, IDC_PASSWORD, IDC_SERVER, IDC_SERVER_LABEL, IDC_TRANSPORT_LABEL})
        EXPECT_NE(nullptr, dialog.GetDlgItem(id)) << id;
    EXPECT_EQ(nullptr, dialog.GetDlgItem(IDC_STATIC));
    EXPECT_FALSE(CreateDialogFromTemplate(dialog, 4242));
}

// In a font wider than the one the template was written for, the layout widens: no label or radio button
// text is cut off.
TEST(TemplateInAnotherFont, EveryOneLineTextFitsItsControl) {
    RecordingDialog dialog;
    QFont wide = dialog.font();
    wide.setPointSize(14);
    wide.setBold(true);
    dialog.setFont(wide);
    ASSERT_TRUE(CreateDialogFromTemplate(dialog, IDD_PREFERENCES));
    int checked = 0;
    for (QObject* child : dialog.children()) {
        if (auto* label = qobject_cast<QLabel*>(child);
            label && label->height() <= label->fontMetrics().height() + 4) {
            EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()))
                << label->text().toStdString();
            ++checked;
        } else if (auto* radio = qobject_cast<QRadioButton*>(child)) {
            EXPECT_GE(radio->width(), radio->sizeHint().width()) << radio->text().toStdString();
            ++checked;
        }
    }
    EXPECT_GE(checked, 8);
    EXPECT_LE(dialog.width(), 3 * MapDialogRect(GetDialogBaseUnits(wide), 0, 0, 238, 0).width());
}

TEST_F(TemplateTest, EnterInTheMessagePressesTheDefaultButtonAndCtrlEnterStartsALine) {
    build(IDD_CHIMELY_DIALOG);
    QPlainTextEdit* message = control<QPlainTextEdit>(IDC_MESSAGE);
    auto* send = control<QPushButton>(IDC_SEND);
    int sent = 0;
    QObject::connect(send, &QPushButton::clicked, [&] { ++sent; });
    dialog.show();
    message->setPlainText(QStringLiteral("hello"));
    message->moveCursor(QTextCursor::End);

    auto press = [&](Qt::KeyboardModifiers modifiers) {
        QKeyEvent event(QEvent::KeyPress, Qt::Key_Return, modifiers);
        QCoreApplication::sendEvent(message, &event);
    };
    press(Qt::NoModifier);
    EXPECT_EQ(1, sent);
    EXPECT_EQ(QStringLiteral("hello"), message->toPlainText());

    press(Qt::ControlModifier);
    EXPECT_EQ(1, sent);
    EXPECT_EQ(QStringLiteral("hello\n"), message->toPlainText());

    // A disabled Send is not pressed, and Enter still adds no line.
    send->setEnabled(false);
    press(Qt::NoModifier);
    EXPECT_EQ(1, sent);
    EXPECT_EQ(QStringLiteral("hello\n"), message->toPlainText());
}

// ---- the modal loop ----

TEST(ModalLoop, HidingKeepsItRunningAndOnlyEndDialogEndsIt) {
    RecordingDialog dialog;
    bool stillRunningAfterHide = false;
    QTimer::singleShot(0, &dialog, [&] { dialog.hide(); });
    QTimer::singleShot(100, &dialog, [&] {
        stillRunningAfterHide = true;
        dialog.show();
    });
    QTimer::singleShot(200, &dialog, [&] { dialog.EndDialog(7); });
    QTimer::singleShot(5000, &dialog, [&] { dialog.EndDialog(-1); });
    EXPECT_EQ(7, dialog.DoModal());
    EXPECT_TRUE(stillRunningAfterHide);
    EXPECT_FALSE(dialog.isVisible());
}

// A modal dialog blocks the window it belongs to and nothing else: the main window, which belongs to
// none, leaves every other window usable (the notification-area icon is one).
TEST(ModalLoop, BlocksOnlyTheWindowItBelongsTo) {
    RecordingDialog main;
    RecordingDialog owned(&main);
    QWidget* modalUnderMain = &main;
    QWidget* modalUnderOwned = nullptr;
    QTimer::singleShot(0, &main, [&] {
        modalUnderMain = QApplication::activeModalWidget();
        QTimer::singleShot(0, &owned, [&] {
            modalUnderOwned = QApplication::activeModalWidget();
            owned.EndDialog(IDOK);
        });
        owned.DoModal();
        main.EndDialog(IDOK);
    });
    QTimer::singleShot(5000, &main, [&] { main.EndDialog(-1); });
    EXPECT_EQ(IDOK, main.DoModal());
    EXPECT_EQ(nullptr, modalUnderMain);
    EXPECT_EQ(&owned, modalUnderOwned);
}

TEST(ModalLoop, EscCloseAndMinimizeReachTheMessageMap) {
    RecordingDialog dialog;
    QTimer::singleShot(0, &dialog, [&] {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(&dialog, &escape);
    });
    QTimer::singleShot(5000, &dialog, [&] { dialog.EndDialog(-1); });
    EXPECT_EQ(IDCANCEL, dialog.DoModal());
    EXPECT_EQ((std::vector<Message>{{WM_COMMAND, IDCANCEL, 0}}), dialog.messages);

    dialog.messages.clear();
    QTimer::singleShot(0, &dialog, [&] { dialog.close(); });
    QTimer::singleShot(5000, &dialog, [&] { dialog.EndDialog(-1); });
    EXPECT_EQ(IDCANCEL, dialog.DoModal());
    EXPECT_EQ((std::vector<Message>{{WM_SYSCOMMAND, SC_CLOSE, 0}, {WM_COMMAND, IDCANCEL, 0}}),
              dialog.messages);

    // The minimize box minimises through the message map, once.
    dialog.messages.clear();
    dialog.show();
    dialog.setWindowState(Qt::WindowMinimized);
    EXPECT_EQ((std::vector<Message>{{WM_SYSCOMMAND, SC_MINIMIZE, 0}}), dialog.messages);
    EXPECT_TRUE(dialog.isMinimized());
}

}  // namespace
