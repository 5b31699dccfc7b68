// SPDX-License-Identifier: MIT
// Message boxes in the spirit of MessageBoxA: owner, text, caption, style, and the button pressed. Texts are
// always shown as plain text, never as rich text: many come from peers. A test double replaces the real
// boxes. User-interface thread only.
#pragma once

#include "platform/WindowMessages.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace platform {

constexpr UINT MB_OK = 0x00;
constexpr UINT MB_YESNO = 0x04;
// OK and a second button that answers IDREPLY (its text given to OpenMessageBox): the received-text box.
// No Windows style gives this pair; the value is one Windows leaves unused.
constexpr UINT MB_OKREPLY = 0x0E;
constexpr int IDREPLY = 0x100;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONEXCLAMATION = 0x30;
constexpr UINT MB_ICONINFORMATION = 0x40;

// Shows a box modal to `owner` (its own event loop runs meanwhile) and returns IDOK, IDYES or IDNO.
int MessageBox(QWidget* owner, const std::string& text, const std::string& caption, UINT style);

// Opens a box modal to `owner` and returns at once, without an event loop of its own; `closed` runs with
// the button when the user closes the box. `replyText` labels MB_OKREPLY's second button.
void OpenMessageBox(QWidget* owner, const std::string& text, const std::string& caption, UINT style,
                    std::function<void(int button)> closed, const std::string& replyText = std::string());

// The run is ending: closes the open menus, ends every box waiting for an answer with No (Ok when Ok is
// its only button) and every dialog's modal loop with Cancel. Boxes and dialogs asked for afterwards
// answer so at once, without being shown. Boxes opened without waiting (OpenMessageBox) stay.
void EndModalLoops();

namespace testing {

struct MessageBoxCall {
    std::string text;
    std::string caption;
    UINT style = 0;
};

// While it exists, boxes are not shown: MessageBox records the call and returns what `answer` gives;
// OpenMessageBox records the box as open until the test closes it.
class MessageBoxDouble {
public:
    explicit MessageBoxDouble(std::function<int(const MessageBoxCall&)> answer = [](const MessageBoxCall&) {
        return IDOK;
    });
    ~MessageBoxDouble();
    MessageBoxDouble(const MessageBoxDouble&) = delete;
    MessageBoxDouble& operator=(const MessageBoxDouble&) = delete;

    // Who answers the modal boxes from now on.
    void setAnswer(std::function<int(const MessageBoxCall&)> answer) { m_answer = std::move(answer); }

    // Every box asked for, modal or opened, in order.
    std::vector<MessageBoxCall> calls;
    // Boxes opened and not yet closed, oldest first.
    std::size_t openCount() const { return m_open.size(); }
    const MessageBoxCall& open(std::size_t index) const { return m_open[index].call; }
    // Closes the newest open box (the one on top) with `button`.
    void closeNewest(int button = IDOK);

private:
    friend int platform::MessageBox(QWidget*, const std::string&, const std::string&, UINT);
    friend void platform::OpenMessageBox(QWidget*, const std::string&, const std::string&, UINT,
                                         std::function<void(int)>, const std::string&);
    struct Open {
        MessageBoxCall call;
        std::function<void(int)> closed;
    };
    std::function<int(const MessageBoxCall&)> m_answer;
    std::deque<Open> m_open;
};

}  // namespace testing
}  // namespace platform
