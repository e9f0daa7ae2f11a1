-- Devices, what they sent, and what the maker answers them.
CREATE TABLE devices (
    id TEXT PRIMARY KEY,
    first_seen BIGINT NOT NULL,
    last_seen BIGINT NOT NULL,
    version TEXT NOT NULL,
    system TEXT NOT NULL,
    acked BIGINT NOT NULL DEFAULT 0
);
CREATE TABLE reports (
    id BIGSERIAL PRIMARY KEY,
    device TEXT NOT NULL,
    text TEXT NOT NULL,
    email TEXT,
    version TEXT NOT NULL,
    system TEXT NOT NULL,
    received BIGINT NOT NULL
);
CREATE INDEX reports_device ON reports (device, received);
CREATE TABLE maker_messages (
    id BIGSERIAL PRIMARY KEY,
    device TEXT NOT NULL,
    text TEXT NOT NULL,
    written BIGINT NOT NULL
);
CREATE INDEX maker_messages_device ON maker_messages (device, id);
CREATE TABLE crashes (
    id BIGSERIAL PRIMARY KEY,
    device TEXT NOT NULL,
    kind TEXT NOT NULL,
    message TEXT NOT NULL,
    stack TEXT NOT NULL,
    version TEXT NOT NULL,
    system TEXT NOT NULL,
    signature TEXT NOT NULL,
    received BIGINT NOT NULL
);
CREATE INDEX crashes_signature ON crashes (signature);
