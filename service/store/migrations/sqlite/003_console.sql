-- The maker's console: its accounts, which account wrote each answer (none: the command line),
-- and where each conversation stands, kept with its device so that the inbox reads one index
-- instead of every message.
CREATE TABLE console_users (
    name TEXT PRIMARY KEY,
    password_hash TEXT NOT NULL,
    created INTEGER NOT NULL
);
ALTER TABLE maker_messages ADD COLUMN author TEXT;
ALTER TABLE devices ADD COLUMN last_user_message INTEGER;
ALTER TABLE devices ADD COLUMN last_answer INTEGER;
ALTER TABLE devices ADD COLUMN handled INTEGER;
ALTER TABLE devices ADD COLUMN last_activity INTEGER;
ALTER TABLE devices ADD COLUMN attention INTEGER NOT NULL DEFAULT 0;
ALTER TABLE devices ADD COLUMN email TEXT;
ALTER TABLE devices ADD COLUMN preview TEXT;
UPDATE devices SET
    last_user_message = (SELECT MAX(received) FROM reports WHERE device = devices.id),
    last_answer = (SELECT MAX(written) FROM maker_messages
                   WHERE device = devices.id AND retracted IS NULL),
    email = (SELECT email FROM reports WHERE device = devices.id AND email IS NOT NULL
             ORDER BY received DESC, id DESC LIMIT 1);
UPDATE devices SET
    last_activity = MAX(COALESCE(last_user_message, 0), COALESCE(last_answer, 0)),
    attention = CASE WHEN last_user_message > COALESCE(last_answer, 0) THEN 1 ELSE 0 END
    WHERE last_user_message IS NOT NULL OR last_answer IS NOT NULL;
UPDATE devices SET preview = substr((SELECT text FROM (
        SELECT text, received AS at FROM reports WHERE device = devices.id
        UNION ALL SELECT text, written FROM maker_messages
                  WHERE device = devices.id AND retracted IS NULL)
    ORDER BY at DESC LIMIT 1), 1, 200)
    WHERE last_activity IS NOT NULL;
CREATE INDEX devices_inbox ON devices (attention, last_activity);
-- Crash groups counted from indexes alone, not from every crash's row.
CREATE INDEX crashes_group_devices ON crashes (signature, device, received);
CREATE INDEX crashes_group_versions ON crashes (signature, version);
-- The console's search: the words of reports, replies and e-mail addresses, case and accents
-- aside (the index only: the texts stay in reports).
CREATE VIRTUAL TABLE reports_search USING fts5(text, email, content = '',
    tokenize = 'unicode61 remove_diacritics 2');
INSERT INTO reports_search (rowid, text, email)
    SELECT id, text, COALESCE(email, '') FROM reports;
