#pragma once

#include "http/StoreCall.h"
#include "store/Store.h"

#include <optional>

// What the console's pages read, as JSON: the inbox, a conversation, the crash groups, one
// group. Each returns nothing when the database failed.
namespace ConsoleAnswers {

using Answer = StoreCall::Answer;

// A page of the inbox, and how many conversations match in all.
constexpr int kInboxPage = 50;
// A conversation shows its newest entries, this many at a time.
constexpr int kConversationPage = 100;
// Crash groups, this many at a time.
constexpr int kGroupsPage = 50;
// A group's crashes a day over this many days, in the list.
constexpr int kTrendDays = 14;

Answer refusal(const QString& message, StoreCall::Status status);
QJsonValue jsonTime(const QDateTime& at);

std::optional<Answer> inbox(Store& store, const Store::InboxQuery& query, int offset);
// before: "report:ID" or "maker:ID", the oldest entry shown so far; empty: the newest page.
// mail: whether answers can go by e-mail.
std::optional<Answer> conversation(Store& store, const QString& device, const QString& before,
                                   bool mail);
std::optional<Answer> crashes(Store& store, int offset);
std::optional<Answer> crashGroup(Store& store, const QString& signature);

} // namespace ConsoleAnswers
