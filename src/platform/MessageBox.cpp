// SPDX-License-Identifier: MIT
#include "platform/MessageBox.h"

#include "platform/Dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <map>
#include <vector>

namespace platform {
namespace {

testing::MessageBoxDouble* g_double = nullptr;

// The boxes now waiting in MessageBox for an answer, and whether the run is ending.
std::vector<QPointer<QMessageBox>> g_waiting;
bool g_ending = false;

// The icon of each standard button, shared by every box of the run (see shareButtonIcons); released with
// the application object, before Qt's pixmap cache goes.
std::map<int, QIcon>* g_buttonIcons = nullptr;

void releaseButtonIcons() {
    delete g_buttonIcons;
    g_buttonIcons = nullptr;
}

// Where the desktop puts icons on buttons (X11 desktops do), the style makes a new icon for every button it
// makes, with pixmaps of its own, and Qt's application-wide pixmap cache keeps the pixmap each such icon was
// painted with, under a key of that icon's own, after its box is gone: with a box for every received text
// the heap grew by about 2 kB a text, until the cache held its limit of 10 MB of pixmaps. A box's buttons
// take the icons of the first box instead, before they are ever painted, so that their own go with them.
void shareButtonIcons(QMessageBox* box) {
    for (QAbstractButton* button : box->buttons()) {
        if (button->icon().isNull())
            continue;
        if (!g_buttonIcons) {
            g_buttonIcons = new std::map<int, QIcon>;
            qAddPostRoutine(releaseButtonIcons);
        }
        const auto [shared, first] = g_buttonIcons->try_emplace(box->standardButton(button), button->icon());
        if (!first)
            button->setIcon(shared->second);
    }
}

int endingAnswer(UINT style) {
    return (style & 0x0F) == MB_YESNO ? IDNO : IDOK;
}

QMessageBox* makeBox(QWidget* owner, const std::string& text, const std::string& caption, UINT style) {
    auto* box = new QMessageBox(owner);
    box->setTextFormat(Qt::PlainText);
    box->setText(QString::fromLocal8Bit(text.data(), qsizetype(text.size())));
    box->setWindowTitle(QString::fromLocal8Bit(caption.data(), qsizetype(caption.size())));
    switch (style & 0xF0) {
        case MB_ICONQUESTION:
            box->setIcon(QMessageBox::Question);
            break;
        case MB_ICONEXCLAMATION:
            box->setIcon(QMessageBox::Warning);
            break;
        case MB_ICONINFORMATION:
            box->setIcon(QMessageBox::Information);
            break;
        default:
            break;
    }
    if ((style & 0x0F) == MB_YESNO) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::Yes);
    } else if ((style & 0x0F) == MB_OKREPLY) {
        box->setStandardButtons(QMessageBox::Ok);
        box->setDefaultButton(QMessageBox::Ok);
        box->setEscapeButton(QMessageBox::Ok);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    shareButtonIcons(box);
    return box;
}

int buttonOf(int result) {
    switch (result) {
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        default:
            return IDOK;
    }
}

}  // namespace

int MessageBox(QWidget* owner, const std::string& text, const std::string& caption, UINT style) {
    if (g_double) {
        g_double->calls.push_back({text, caption, style});
        return g_double->m_answer(g_double->calls.back());
    }
    if (g_ending)
        return endingAnswer(style);
    QMessageBox* box = makeBox(owner, text, caption, style);
    g_waiting.emplace_back(box);
    const int result = box->exec();
    std::erase_if(g_waiting, [box](const QPointer<QMessageBox>& waiting) { return waiting == box; });
    delete box;
    return g_ending ? endingAnswer(style) : buttonOf(result);
}

void OpenMessageBox(QWidget* owner, const std::string& text, const std::string& caption, UINT style,
                    std::function<void(int)> closed, const std::string& replyText) {
    if (g_double) {
        g_double->calls.push_back({text, caption, style});
        g_double->m_open.push_back({g_double->calls.back(), std::move(closed)});
        return;
    }
    QMessageBox* box = makeBox(owner, text, caption, style);
    QPushButton* reply = (style & 0x0F) == MB_OKREPLY
                             ? box->addButton(QString::fromStdString(replyText), QMessageBox::ActionRole)
                             : nullptr;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(owner ? Qt::WindowModal : Qt::ApplicationModal);
    QObject::connect(box, &QMessageBox::finished, box, [box, reply, closed = std::move(closed)](int result) {
        const bool replied = reply && box->clickedButton() == reply;
        if (closed)
            closed(replied ? IDREPLY : buttonOf(result));
    });
    box->open();
}

void EndModalLoops() {
    g_ending = true;
    // A menu runs a loop of its own too; closing one may open none, so this ends.
    for (int guard = 0; guard < 16; ++guard) {
        QWidget* popup = QApplication::activePopupWidget();
        if (!popup)
            break;
        popup->close();
    }
    for (const QPointer<QMessageBox>& box : std::vector<QPointer<QMessageBox>>(g_waiting)) {
        if (box)
            box->done(QMessageBox::No);
    }
    CDialog::EndAllModal(IDCANCEL);
}

namespace testing {

MessageBoxDouble::MessageBoxDouble(std::function<int(const MessageBoxCall&)> answer)
    : m_answer(std::move(answer)) {
    g_double = this;
}

MessageBoxDouble::~MessageBoxDouble() {
    if (g_double == this)
        g_double = nullptr;
}

void MessageBoxDouble::closeNewest(int button) {
    if (m_open.empty())
        return;
    Open box = std::move(m_open.back());
    m_open.pop_back();
    if (box.closed)
        box.closed(button);
}

}  // namespace testing
}  // namespace platform
