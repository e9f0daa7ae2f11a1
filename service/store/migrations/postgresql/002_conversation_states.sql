-- When a maker message was first offered to its device, and when the maker took it back.
ALTER TABLE maker_messages ADD COLUMN offered BIGINT;
ALTER TABLE maker_messages ADD COLUMN retracted BIGINT;
-- What a device acknowledged was offered to it.
UPDATE maker_messages SET offered = written
    WHERE id <= (SELECT acked FROM devices WHERE devices.id = maker_messages.device);
-- Answers no device can show (blank, or longer than the 4,000 characters the application
-- reads) held back every later answer to their device: they are taken back.
UPDATE maker_messages SET retracted = written
    WHERE btrim(text, E' \t\n\r') = '' OR length(text) > 4000;
-- A report is a new problem, a reply answers the maker in the messages window.
ALTER TABLE reports ADD COLUMN kind TEXT NOT NULL DEFAULT 'report';
-- Devices that reported or crashed before their first sync went through become known.
INSERT INTO devices (id, first_seen, last_seen, version, system, acked)
    SELECT DISTINCT ON (device) device, MIN(at) OVER (PARTITION BY device),
           MAX(at) OVER (PARTITION BY device), version, system, 0 FROM (
        SELECT device, received AS at, version, system FROM reports
        UNION ALL SELECT device, received, version, system FROM crashes) AS sent
    WHERE device <> '?' AND device NOT IN (SELECT id FROM devices)
    ORDER BY device, at DESC;
-- The maker's console and commands read a device's reports by time.
CREATE INDEX crashes_device ON crashes (device, received);
