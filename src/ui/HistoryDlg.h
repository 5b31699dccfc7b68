// SPDX-License-Identifier: MIT
// CHistoryDlg: the History window (template 136). The conversations, newest first; the chosen one's texts,
// oldest at the top, read 50 at a time from the newest as the user scrolls up; a search by words across
// every conversation; Reply, Send again for a failed text, and deleting a conversation or everything. It
// asks the store for pages and never waits for it: answers fill the lists as they come. With no history
// kept it says how to keep one. A window of its own, not modal. User-interface thread only.
#pragma once

#include "history/HistoryStore.h"
#include "platform/Dialog.h"

#include <QBasicTimer>

#include <functional>
#include <vector>

class QListWidget;
class QListWidgetItem;

class CHistoryDlg : public platform::CDialog {
public:
    // The texts of a conversation read at a time.
    static constexpr int kPageTexts = 50;

    struct Actions {
        // Reply: the main window with To set to the peer and the focus in Message.
        std::function<void(const std::string& peer)> reply;
        // Send again: the text to its peer, as if typed and sent.
        std::function<void(const std::string& peer, const std::string& body)> sendAgain;
    };
    CHistoryDlg(Actions actions, QWidget* parent = nullptr);

    // The store to read, or none while no history is kept. Reads everything again.
    void SetStore(history::HistoryStore* store);
    // Something was written: the lists are read again shortly (once for many writes).
    void Changed();
    // Shows the window (read afresh) and brings it to the front.
    void Open();

    // Questions asked of the store and not yet answered (tests, the benchmark).
    int Waiting() const { return m_waiting; }
    // The text an item of the texts list stands for.
    const history::Text* TextOf(const QListWidgetItem* item) const;

protected:
    platform::LRESULT WindowProc(platform::UINT message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void readConversations();
    void openConversation(int row);
    void readOlder();
    void showPage(std::vector<history::Text> page, bool older);
    void search(const QString& words);
    void openHit(const history::Text& hit);
    void updateButtons();
    void deleteConversation();
    void deleteAll();
    // A question to the store whose answer counts only while nothing else has been asked since.
    template <typename Result>
    std::function<void(Result)> answer(std::function<void(Result)> use);

    const Actions m_actions;
    history::HistoryStore* m_store = nullptr;
    QListWidget* m_conversations = nullptr;
    QListWidget* m_texts = nullptr;
    std::vector<history::Conversation> m_conversationList;
    // The texts on show, in the list's order; hits when m_searching.
    std::vector<history::Text> m_shown;
    bool m_searching = false;
    bool m_olderLeft = false;
    bool m_readingOlder = false;
    // A search hit being looked for in its conversation, page after page.
    std::int64_t m_seekId = 0;
    std::uint64_t m_generation = 0;
    int m_waiting = 0;
    QBasicTimer m_changed;
};
