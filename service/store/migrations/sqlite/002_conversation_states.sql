-- When a maker message was first offered to its device, and when the maker took it back.
ALTER TABLE maker_messages ADD COLUMN offered INTEGER;
ALTER TABLE maker_messages ADD COLUMN retracted INTEGER;
-- What a device acknowledged was offered to it.
UPDATE maker_messages SET offered = written
    WHERE id <= (SELECT acked FROM devices WHERE devices.id = maker_messages.device);
-- Answers no device can show (blank, or longer than the 4,000 characters the application
-- reads) held back every later answer to their device: they are taken back.
UPDATE maker_messages SET retracted = written
    WHERE trim(text, ' ' || char(9) || char(10) || char(13)) = '' OR length(text) > 4000;
-- A report is a new problem, a reply answers the maker in the messages window.
ALTER TABLE reports ADD COLUMN kind TEXT NOT NULL DEFAULT 'report';
-- Devices that reported or crashed before their first sync went through become known.
INSERT INTO devices (id, first_seen, last_seen, version, system, acked)
    SELECT device, MIN(at), MAX(at), version, system, 0 FROM (
        SELECT device, received AS at, version, system FROM reports
        UNION ALL SELECT device, received, version, system FROM crashes)
    WHERE device <> '?' AND device NOT IN (SELECT id FROM devices)
    GROUP BY device;
-- The maker's console and commands read a device's reports by time.
CREATE INDEX crashes_device ON crashes (device, received);
