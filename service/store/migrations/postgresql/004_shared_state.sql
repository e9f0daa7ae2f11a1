-- State every instance on this database shares: console sessions (kept as hashes of their
-- tokens), request limits, crash groups as they are first seen, and the ids of requests
-- already stored, so that a retry is stored once.
-- An account's stamp changes with each password and each new account of a name: a session
-- holds the stamp it was opened under and ends when it no longer matches.
ALTER TABLE console_users ADD COLUMN stamp TEXT NOT NULL DEFAULT '';
CREATE TABLE console_sessions (
    token_hash TEXT PRIMARY KEY,
    name TEXT NOT NULL,
    stamp TEXT NOT NULL,
    csrf TEXT NOT NULL,
    began BIGINT NOT NULL,
    used BIGINT NOT NULL
);
CREATE INDEX console_sessions_began ON console_sessions (began);
-- A token bucket per key: tokens left at the time updated.
CREATE TABLE limits (
    key TEXT PRIMARY KEY,
    tokens DOUBLE PRECISION NOT NULL,
    updated BIGINT NOT NULL
);
CREATE INDEX limits_updated ON limits (updated);
CREATE TABLE crash_groups (
    signature TEXT PRIMARY KEY,
    first_seen BIGINT NOT NULL
);
INSERT INTO crash_groups (signature, first_seen)
    SELECT signature, MIN(received) FROM crashes GROUP BY signature;
ALTER TABLE reports ADD COLUMN request TEXT;
CREATE UNIQUE INDEX reports_request ON reports (device, request) WHERE request IS NOT NULL;
ALTER TABLE crashes ADD COLUMN request TEXT;
CREATE UNIQUE INDEX crashes_request ON crashes (device, request) WHERE request IS NOT NULL;
