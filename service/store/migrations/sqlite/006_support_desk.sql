-- Answers sent by e-mail as well: one row an answer, the address it goes to, where it stands
-- (pending, sent, failed or cancelled), how many tries were made, when the next is due, until
-- when the instance sending it holds it, and why the last try failed.
CREATE TABLE mail_outbox (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    message INTEGER NOT NULL,
    device TEXT NOT NULL,
    recipient TEXT NOT NULL,
    state TEXT NOT NULL DEFAULT 'pending',
    tries INTEGER NOT NULL DEFAULT 0,
    next_try INTEGER NOT NULL,
    held_until INTEGER NOT NULL DEFAULT 0,
    error TEXT NOT NULL DEFAULT '',
    queued INTEGER NOT NULL,
    sent INTEGER
);
CREATE INDEX mail_outbox_due ON mail_outbox (state, next_try);
CREATE INDEX mail_outbox_message ON mail_outbox (message);
CREATE INDEX mail_outbox_device ON mail_outbox (device);
-- The texts the makers answer with often, shared by every account.
CREATE TABLE saved_replies (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    title TEXT NOT NULL,
    text TEXT NOT NULL,
    author TEXT NOT NULL DEFAULT '',
    created INTEGER NOT NULL
);
-- The console's search finds words by their beginnings: the indexes keep every beginning of
-- 2 to 8 letters, which a search reads as fast as a whole word. It finds the maker's answers
-- too (the index only, as for the reports).
DROP TABLE reports_search;
CREATE VIRTUAL TABLE reports_search USING fts5(text, email, content = '',
    tokenize = 'unicode61 remove_diacritics 2', prefix = '2 3 4 5 6 7 8');
INSERT INTO reports_search (rowid, text, email)
    SELECT id, text, COALESCE(email, '') FROM reports;
CREATE VIRTUAL TABLE answers_search USING fts5(text, content = '',
    tokenize = 'unicode61 remove_diacritics 2', prefix = '2 3 4 5 6 7 8');
INSERT INTO answers_search (rowid, text) SELECT id, text FROM maker_messages;
-- The inbox shows what the user wrote last, not the maker's answer.
UPDATE devices SET preview = substr((SELECT text FROM reports WHERE device = devices.id
    ORDER BY received DESC, id DESC LIMIT 1), 1, 200)
    WHERE last_user_message IS NOT NULL;
-- The inbox and the count of what waits read one index, blocked devices aside, without
-- visiting each device.
DROP INDEX devices_inbox;
CREATE INDEX devices_inbox ON devices (blocked, attention, last_activity);
-- The crash page reads the last days only: the devices active this week, the crashes of the
-- last two.
CREATE INDEX active_devices_day ON active_devices (day, version, device);
CREATE INDEX crashes_received ON crashes (received);
