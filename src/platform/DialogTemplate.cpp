// SPDX-License-Identifier: MIT
#include "platform/DialogTemplate.h"

#include "platform/Resources.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <vector>

#include <algorithm>
#include <cmath>
#include <vector>

namespace platform {
namespace {

// Rounded to the nearest pixel, as Windows maps dialog units.
int mulDiv(int number, int numerator, int denominator) {
    return (number * numerator + denominator / 2) / denominator;
}

QString text(const char* value) {
    return QString::fromLocal8Bit(value ? value : "");
}

// In a multi-line edit without ES_WANTRETURN, Enter presses the dialog's default button and Ctrl+Enter
// starts a new line.
class ReturnPressesDefault : public QObject {
public:
    ReturnPressesDefault(QPlainTextEdit* edit, CDialog* dialog)
        : QObject(edit), m_edit(edit), m_dialog(dialog) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            return false;
        if (key->modifiers() & Qt::ControlModifier) {
            m_edit->insertPlainText(QStringLiteral("\n"));
            return true;
        }
        for (QPushButton* button : m_dialog->findChildren<QPushButton*>())
            if (button->isDefault() && button->isEnabled() && button->isVisible()) {
                button->click();
                break;
            }
        return true;
    }

private:
    QPlainTextEdit* m_edit;
    CDialog* m_dialog;
};

QWidget* createEdit(CDialog& dialog, const ControlTemplate& control, const QRect& rect) {
    if (control.style & ES_MULTILINE) {
        auto* edit = new QPlainTextEdit(text(control.text), &dialog);
        edit->setReadOnly(control.style & ES_READONLY);
        edit->setTabChangesFocus(true);
        edit->setVerticalScrollBarPolicy((control.style & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                      : Qt::ScrollBarAlwaysOff);
        const bool wide = control.style & (WS_HSCROLL | ES_AUTOHSCROLL);
        edit->setLineWrapMode(wide ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
        edit->setHorizontalScrollBarPolicy((control.style & WS_HSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                        : Qt::ScrollBarAlwaysOff);
        if (!(control.style & WS_BORDER))
            edit->setFrameShape(QFrame::NoFrame);
        if (!(control.style & ES_WANTRETURN))
            edit->installEventFilter(new ReturnPressesDefault(edit, &dialog));
        return edit;
    }
    auto* edit = new QLineEdit(text(control.text), &dialog);
    edit->setReadOnly(control.style & ES_READONLY);
    edit->setFrame(control.style & WS_BORDER);
    if (control.style & ES_PASSWORD)
        edit->setEchoMode(QLineEdit::Password);
    // A single-line edit taller than a line keeps its text at the top, as on Windows.
    if (rect.height() > edit->sizeHint().height())
        edit->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return edit;
}

QWidget* createControl(CDialog& dialog, const ControlTemplate& control, QRect& rect) {
    switch (control.kind) {
        case ControlKind::LText:
        case ControlKind::RText: {
            auto* label = new QLabel(text(control.text), &dialog);
            label->setWordWrap(true);
            label->setAlignment((control.kind == ControlKind::RText ? Qt::AlignRight : Qt::AlignLeft) |
                                Qt::AlignTop);
            return label;
        }
        case ControlKind::GroupBox:
            return new QGroupBox(text(control.text), &dialog);
        case ControlKind::EditText:
            return createEdit(dialog, control, rect);
        case ControlKind::ComboBox: {
            auto* combo = new QComboBox(&dialog);
            combo->setEditable((control.style & CBS_DROPDOWNLIST) == CBS_DROPDOWN);
            // The program fills the list itself; typing never adds to it.
            combo->setInsertPolicy(QComboBox::NoInsert);
            // The template's height is the dropped-down list's; the box itself is one line.
            rect.setHeight(combo->sizeHint().height());
            return combo;
        }
        case ControlKind::PushButton:
        case ControlKind::DefPushButton: {
            auto* button = new QPushButton(text(control.text), &dialog);
            button->setDefault(control.kind == ControlKind::DefPushButton);
            return button;
        }
        case ControlKind::AutoRadioButton:
            return new QRadioButton(text(control.text), &dialog);
        case ControlKind::AutoCheckBox:
            return new QCheckBox(text(control.text), &dialog);
        case ControlKind::ListBox: {
            auto* list = new QListWidget(&dialog);
            list->setVerticalScrollBarPolicy((control.style & WS_VSCROLL) ? Qt::ScrollBarAsNeeded
                                                                          : Qt::ScrollBarAlwaysOff);
            list->setWordWrap(true);
            // Items of several lines each: every other one shaded, so that each stands apart.
            list->setAlternatingRowColors(true);
            return list;
        }
    }
    return nullptr;
}

Qt::WindowFlags windowFlags(const DialogTemplate& dialog) {
    // A window of its own on the task bar, or a dialog that belongs to another window.
    Qt::WindowFlags flags = (dialog.exStyle & WS_EX_APPWINDOW) ? Qt::Window : Qt::Dialog;
    flags |= Qt::CustomizeWindowHint;
    if ((dialog.style & WS_CAPTION) == WS_CAPTION)
        flags |= Qt::WindowTitleHint;
    if (dialog.style & WS_SYSMENU)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (dialog.style & WS_MINIMIZEBOX)
        flags |= Qt::WindowMinimizeButtonHint;
    if (dialog.style & WS_MAXIMIZEBOX)
        flags |= Qt::WindowMaximizeButtonHint;
    if (dialog.style & DS_SYSMODAL)
        flags |= Qt::WindowStaysOnTopHint;
    return flags;
}

// The height, in dialog units, of a static text meant as one line (an 8-unit line and a little room).
constexpr int kOneLineHeight = 10;

}  // namespace

DialogBaseUnits GetDialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabet =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(alphabet / 26 + 1) / 2, metrics.height()};
}

QRect MapDialogRect(DialogBaseUnits units, int x, int y, int width, int height) {
    return QRect(mulDiv(x, units.x, 4), mulDiv(y, units.y, 8), mulDiv(width, units.x, 4),
                 mulDiv(height, units.y, 8));
}

bool CreateDialogFromTemplate(CDialog& dialog, int templateId) {
    const DialogTemplate* resource = FindDialogTemplate(templateId);
    if (!resource)
        return false;
    dialog.setWindowFlags(windowFlags(*resource));
    dialog.setWindowTitle(text(resource->caption));
    // The template's face where the desktop has it, else the desktop's dialog font: the layout scales.
    if ((resource->style & DS_SETFONT) && resource->fontFace &&
        QFontDatabase::hasFamily(QString::fromLatin1(resource->fontFace)))
        dialog.setFont(QFont(QString::fromLatin1(resource->fontFace), resource->fontPoints));
    DialogBaseUnits units = GetDialogBaseUnits(dialog.font());

    struct Placed {
        QWidget* widget;
        const ControlTemplate* control;
    };
    std::vector<Placed> placed;
    QWidget* previousStop = nullptr;
    QButtonGroup* radioGroup = nullptr;
    for (const ControlTemplate& control : resource->controls) {
        QRect rect = MapDialogRect(units, control.x, control.y, control.cx, control.cy);
        QWidget* widget = createControl(dialog, control, rect);
        if (!widget)
            continue;
        placed.push_back({widget, &control});
        widget->setEnabled(!(control.style & WS_DISABLED));
        widget->setVisible(control.style & WS_VISIBLE);

        // Radio buttons are exclusive within a group, which runs from a control marked WS_GROUP to the next.
        if (control.style & WS_GROUP)
            radioGroup = nullptr;
        if (auto* radio = qobject_cast<QRadioButton*>(widget)) {
            if (!radioGroup)
                radioGroup = new QButtonGroup(&dialog);
            radioGroup->addButton(radio, control.id);
        }

        if (widget->focusPolicy() != Qt::NoFocus) {
            widget->setFocusPolicy((control.style & WS_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
            if (previousStop)
                QWidget::setTabOrder(previousStop, widget);
            previousStop = widget;
        }
        if (control.id != IDC_STATIC)
            dialog.SetDlgItem(control.id, widget);
    }

    // The template was laid out in the font its texts were written for. In the desktop's font a one-line
    // label or a radio button's text may be wider than its control: the horizontal unit then grows until
    // every such text fits, and the whole layout widens with it rather than cutting words off.
    double stretch = 1.0;
    for (const Placed& item : placed) {
        const int available = MapDialogRect(units, 0, 0, item.control->cx, 0).width();
        int needed = 0;
        if (auto* label = qobject_cast<QLabel*>(item.widget); label && item.control->cy <= kOneLineHeight)
            needed = label->fontMetrics().horizontalAdvance(label->text()) + 1;
        else if (qobject_cast<QRadioButton*>(item.widget))
            needed = item.widget->sizeHint().width();
        if (available > 0 && needed > available)
            stretch = std::max(stretch, static_cast<double>(needed) / available);
    }
    if (stretch > 1.0)
        units.x = static_cast<int>(std::ceil(units.x * stretch));

    dialog.setFixedSize(MapDialogRect(units, 0, 0, resource->cx, resource->cy).size());
    for (const Placed& item : placed) {
        const ControlTemplate& control = *item.control;
        QRect rect = MapDialogRect(units, control.x, control.y, control.cx, control.cy);
        // A combo box's template height is its dropped-down list's; the box itself is one line.
        if (qobject_cast<QComboBox*>(item.widget))
            rect.setHeight(item.widget->sizeHint().height());
        item.widget->setGeometry(rect);
    }
    return true;
}

}  // namespace platform
