// SPDX-License-Identifier: MIT
// The History window: template 136, the lists filled from the store's answers, paging as the user scrolls
// up, the search, and the commands. User-interface thread.
#include "ui/HistoryDlg.h"

#include "platform/DialogTemplate.h"
#include "platform/MessageBox.h"
#include "res/Resource.h"

#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTimerEvent>

namespace {

// Writes that come in a burst are shown together, this long after the first.
constexpr int kChangedDelayMs = 200;
// Hits of a search shown at most.
constexpr int kSearchHits = 200;
// How much of a conversation's last text its entry in the list shows.
constexpr int kPreviewChars = 40;

// A text as the received-text box shows it: the bytes in the local 8-bit encoding, as plain text.
QString shown(const std::string& bytes) {
    return QString::fromLocal8Bit(bytes.data(), qsizetype(bytes.size()));
}

QString localTime(std::int64_t timeMs) {
    return QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC)
        .toLocalTime()
        .toString(QStringLiteral("ddd d MMM yyyy, HH:mm"));
}

QString outcomeText(const history::Text& text) {
    switch (text.outcome) {
        case history::Outcome::Pending:
            return QStringLiteral("sending...");
        case history::Outcome::Delivered:
            return QStringLiteral("delivered");
        case history::Outcome::Accepted:
            return QStringLiteral("accepted for later delivery");
        case history::Outcome::Failed:
            return QStringLiteral("failed: ") + shown(text.reason) + QStringLiteral(" (") +
                   QString::number(text.statusCode) + QLatin1Char(')');
        case history::Outcome::None:
            break;
    }
    return QString();
}

// One text in the list: who and when, then the text, then for a sent one what became of it. A search hit
// also names its conversation.
QString itemText(const history::Text& text, bool withPeer) {
    QString head = localTime(text.timeMs);
    if (withPeer)
        head += QStringLiteral(" - ") + shown(text.peer);
    head += text.direction == history::Direction::Sent ? QStringLiteral(" - sent")
                                                       : QStringLiteral(" - received");
    QString item = head + QLatin1Char('\n') + shown(text.body);
    if (text.direction == history::Direction::Sent)
        item += QStringLiteral("\n[") + outcomeText(text) + QLatin1Char(']');
    return item;
}

}  // namespace

CHistoryDlg::CHistoryDlg(Actions actions, QWidget* parent)
    : platform::CDialog(parent), m_actions(std::move(actions)) {
    platform::CreateDialogFromTemplate(*this, IDD_HISTORY);
    m_conversations = qobject_cast<QListWidget*>(GetDlgItem(IDC_HISTORY_CONVERSATIONS));
    m_texts = qobject_cast<QListWidget*>(GetDlgItem(IDC_HISTORY_TEXTS));
    m_texts->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(m_conversations, &QListWidget::currentRowChanged, this,
            [this](int row) { openConversation(row); });
    connect(m_texts, &QListWidget::currentRowChanged, this, [this] { updateButtons(); });
    connect(m_texts, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
        if (const history::Text* hit = m_searching ? TextOf(item) : nullptr)
            openHit(*hit);
    });
    connect(m_texts->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (value == m_texts->verticalScrollBar()->minimum())
            readOlder();
    });
    auto* search = qobject_cast<QLineEdit*>(GetDlgItem(IDC_HISTORY_SEARCH));
    connect(search, &QLineEdit::textChanged, this, [this](const QString& words) { this->search(words); });
    auto button = [this](int id, auto action) {
        connect(qobject_cast<QPushButton*>(GetDlgItem(id)), &QPushButton::clicked, this, action);
    };
    button(IDC_HISTORY_REPLY, [this] {
        const int row = m_conversations->currentRow();
        if (row >= 0 && row < static_cast<int>(m_conversationList.size()) && m_actions.reply)
            m_actions.reply(m_conversationList[row].peer);
    });
    button(IDC_HISTORY_SEND_AGAIN, [this] {
        const history::Text* text = TextOf(m_texts->currentItem());
        if (text && text->outcome == history::Outcome::Failed && m_actions.sendAgain)
            m_actions.sendAgain(text->peer, text->body);
    });
    button(IDC_HISTORY_DELETE, [this] { deleteConversation(); });
    button(IDC_HISTORY_DELETE_ALL, [this] { deleteAll(); });
    button(platform::IDCANCEL, [this] { SendMessage(platform::WM_COMMAND, platform::IDCANCEL); });
    qobject_cast<QLabel*>(GetDlgItem(IDC_HISTORY_NOTE))
        ->setText(QString::fromLatin1(LoadResourceString(IDS_HISTORY_OFF)));
    SetStore(nullptr);
}

platform::LRESULT CHistoryDlg::WindowProc(platform::UINT message, platform::WPARAM wParam,
                                          platform::LPARAM lParam) {
    // Enter in the search field searches as typing did; it never closes the window.
    if (message == platform::WM_COMMAND && platform::LOWORD(wParam) == platform::IDOK)
        return 0;
    return platform::CDialog::WindowProc(message, wParam, lParam);
}

template <typename Result>
std::function<void(Result)> CHistoryDlg::answer(std::function<void(Result)> use) {
    ++m_waiting;
    return [this, generation = m_generation, use = std::move(use)](Result result) {
        --m_waiting;
        if (generation == m_generation)
            use(std::move(result));
    };
}

void CHistoryDlg::SetStore(history::HistoryStore* store) {
    m_store = store;
    const bool keeping = store != nullptr;
    for (int id :
         {IDC_HISTORY_SEARCH_LABEL, IDC_HISTORY_SEARCH, IDC_HISTORY_CONVERSATIONS, IDC_HISTORY_TEXTS})
        GetDlgItem(id)->setVisible(keeping);
    GetDlgItem(IDC_HISTORY_NOTE)->setVisible(!keeping);
    ++m_generation;
    m_conversationList.clear();
    m_shown.clear();
    m_conversations->clear();
    m_texts->clear();
    m_searching = false;
    qobject_cast<QLineEdit*>(GetDlgItem(IDC_HISTORY_SEARCH))->clear();
    readConversations();
    updateButtons();
}

void CHistoryDlg::Open() {
    if (!isVisible())
        SetStore(m_store);
    show();
    raise();
    activateWindow();
}

void CHistoryDlg::Changed() {
    if (isVisible() && !m_changed.isActive())
        m_changed.start(kChangedDelayMs, this);
}

void CHistoryDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_changed.timerId())
        return platform::CDialog::timerEvent(event);
    m_changed.stop();
    if (m_searching)
        return;
    // Read again: the conversations, and the open one from its newest text to the oldest on show.
    readConversations();
}

void CHistoryDlg::readConversations() {
    if (!m_store)
        return;
    const std::string account = m_conversationList.empty() || m_conversations->currentRow() < 0
                                    ? std::string()
                                    : m_conversationList[m_conversations->currentRow()].account;
    const std::string peer =
        account.empty() ? std::string() : m_conversationList[m_conversations->currentRow()].peer;
    m_store->conversations(answer<std::vector<history::Conversation>>([this, account, peer](auto list) {
        m_conversationList = std::move(list);
        const QSignalBlocker quiet(m_conversations);
        m_conversations->clear();
        int current = -1;
        for (std::size_t i = 0; i < m_conversationList.size(); ++i) {
            const history::Conversation& c = m_conversationList[i];
            m_conversations->addItem(
                shown(c.peer) + QLatin1Char('\n') + localTime(c.last.timeMs) + QStringLiteral(": ") +
                shown(c.last.body).left(kPreviewChars).replace(QLatin1Char('\n'), QLatin1Char(' ')));
            if (c.account == account && QString::fromStdString(c.peer).compare(QString::fromStdString(peer),
                                                                               Qt::CaseInsensitive) == 0)
                current = static_cast<int>(i);
        }
        if (current >= 0) {
            m_conversations->setCurrentRow(current);
            // The open conversation again, as far back as it was read.
            const int count = std::max(kPageTexts, static_cast<int>(m_shown.size()));
            const history::Conversation& c = m_conversationList[current];
            m_store->page(c.account, c.peer, 0, count, answer<std::vector<history::Text>>([this](auto page) {
                              const int fromBottom = m_texts->verticalScrollBar()->maximum() -
                                                     m_texts->verticalScrollBar()->value();
                              m_shown.clear();
                              m_texts->clear();
                              showPage(std::move(page), false);
                              m_texts->verticalScrollBar()->setValue(m_texts->verticalScrollBar()->maximum() -
                                                                     fromBottom);
                          }));
        } else {
            m_shown.clear();
            m_texts->clear();
        }
        updateButtons();
    }));
}

void CHistoryDlg::openConversation(int row) {
    ++m_generation;
    m_shown.clear();
    m_texts->clear();
    m_olderLeft = false;
    m_readingOlder = false;
    if (m_searching) {
        const QSignalBlocker quiet(GetDlgItem(IDC_HISTORY_SEARCH));
        qobject_cast<QLineEdit*>(GetDlgItem(IDC_HISTORY_SEARCH))->clear();
        m_searching = false;
    }
    updateButtons();
    if (!m_store || row < 0 || row >= static_cast<int>(m_conversationList.size()))
        return;
    const history::Conversation& c = m_conversationList[row];
    m_store->page(c.account, c.peer, 0, kPageTexts, answer<std::vector<history::Text>>([this](auto page) {
                      showPage(std::move(page), false);
                  }));
}

void CHistoryDlg::readOlder() {
    const int row = m_conversations->currentRow();
    if (!m_store || m_searching || !m_olderLeft || m_readingOlder || m_shown.empty() || row < 0 ||
        row >= static_cast<int>(m_conversationList.size()))
        return;
    m_readingOlder = true;
    const history::Conversation& c = m_conversationList[row];
    m_store->page(c.account, c.peer, m_shown.front().id, kPageTexts,
                  answer<std::vector<history::Text>>([this](auto page) { showPage(std::move(page), true); }));
}

// A page above what is on show (older), or the first page; the view stays on what the user was reading,
// or goes to the newest text for a first page.
void CHistoryDlg::showPage(std::vector<history::Text> page, bool older) {
    m_readingOlder = false;
    m_olderLeft = static_cast<int>(page.size()) >= kPageTexts;
    QScrollBar* bar = m_texts->verticalScrollBar();
    const int fromBottom = bar->maximum() - bar->value();
    for (std::size_t i = 0; i < page.size(); ++i)
        m_texts->insertItem(static_cast<int>(i), itemText(page[i], false));
    m_shown.insert(m_shown.begin(), std::make_move_iterator(page.begin()),
                   std::make_move_iterator(page.end()));
    // The list lays its items out later: now, so that the scroll range is that of the new items.
    m_texts->doItemsLayout();
    if (older)
        bar->setValue(bar->maximum() - fromBottom);
    else
        m_texts->scrollToBottom();
    if (m_seekId) {
        for (std::size_t i = 0; i < m_shown.size(); ++i)
            if (m_shown[i].id == m_seekId) {
                m_seekId = 0;
                m_texts->setCurrentRow(static_cast<int>(i));
                m_texts->scrollToItem(m_texts->item(static_cast<int>(i)),
                                      QAbstractItemView::PositionAtCenter);
                break;
            }
        if (m_seekId && m_olderLeft)
            readOlder();
        else
            m_seekId = 0;
    }
    updateButtons();
}

void CHistoryDlg::search(const QString& words) {
    ++m_generation;
    m_seekId = 0;
    if (words.trimmed().isEmpty()) {
        m_searching = false;
        openConversation(m_conversations->currentRow());
        return;
    }
    if (!m_store)
        return;
    m_searching = true;
    m_store->search(words.toLocal8Bit().toStdString(), kSearchHits,
                    answer<std::vector<history::Text>>([this](auto hits) {
                        m_shown = std::move(hits);
                        m_texts->clear();
                        for (const history::Text& hit : m_shown)
                            m_texts->addItem(itemText(hit, true));
                        updateButtons();
                    }));
}

// A hit opens its conversation, read back page by page until the hit is on show.
void CHistoryDlg::openHit(const history::Text& hit) {
    for (std::size_t i = 0; i < m_conversationList.size(); ++i) {
        const history::Conversation& c = m_conversationList[i];
        if (c.account == hit.account && QString::fromStdString(c.peer).compare(
                                            QString::fromStdString(hit.peer), Qt::CaseInsensitive) == 0) {
            const std::int64_t id = hit.id;
            m_conversations->setCurrentRow(-1);
            m_conversations->setCurrentRow(static_cast<int>(i));
            m_seekId = id;
            return;
        }
    }
}

const history::Text* CHistoryDlg::TextOf(const QListWidgetItem* item) const {
    const int row = item ? m_texts->row(item) : -1;
    return row >= 0 && row < static_cast<int>(m_shown.size()) ? &m_shown[row] : nullptr;
}

void CHistoryDlg::updateButtons() {
    const bool chosen = m_store && m_conversations->currentRow() >= 0;
    const history::Text* text = TextOf(m_texts->currentItem());
    GetDlgItem(IDC_HISTORY_REPLY)->setEnabled(chosen);
    GetDlgItem(IDC_HISTORY_DELETE)->setEnabled(chosen);
    GetDlgItem(IDC_HISTORY_DELETE_ALL)->setEnabled(m_store && !m_conversationList.empty());
    GetDlgItem(IDC_HISTORY_SEND_AGAIN)->setEnabled(text && text->outcome == history::Outcome::Failed);
}

void CHistoryDlg::deleteConversation() {
    const int row = m_conversations->currentRow();
    if (!m_store || row < 0 || row >= static_cast<int>(m_conversationList.size()))
        return;
    const history::Conversation c = m_conversationList[row];
    if (platform::MessageBox(this, LoadResourceString(IDS_DELETE_CONVERSATION_QUESTION), kProgramName,
                             platform::MB_YESNO | platform::MB_ICONQUESTION) != platform::IDYES)
        return;
    // The store may have gone while the question was open.
    if (!m_store)
        return;
    m_conversations->setCurrentRow(-1);
    m_store->deleteConversation(c.account, c.peer, [this] { readConversations(); });
}

void CHistoryDlg::deleteAll() {
    if (!m_store || platform::MessageBox(this, LoadResourceString(IDS_DELETE_ALL_QUESTION), kProgramName,
                                         platform::MB_YESNO | platform::MB_ICONQUESTION) != platform::IDYES)
        return;
    if (!m_store)
        return;
    m_store->deleteAll([this] { SetStore(m_store); });
}
