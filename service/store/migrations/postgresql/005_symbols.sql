-- What names the functions of a crash: the build id and offset of each frame, and what the run
-- was (session type, desktop, Qt version, display mode), both as the application sent them, in
-- JSON. The debugging files the maker added, by build id, kept in the database so that every
-- instance has them, and the names found, kept once per place.
ALTER TABLE crashes ADD COLUMN frames TEXT NOT NULL DEFAULT '[]';
ALTER TABLE crashes ADD COLUMN context TEXT NOT NULL DEFAULT '{}';
CREATE TABLE symbol_files (
    build_id TEXT PRIMARY KEY,
    module TEXT NOT NULL,
    content BYTEA NOT NULL,
    added BIGINT NOT NULL
);
CREATE TABLE frame_names (
    build_id TEXT NOT NULL,
    address TEXT NOT NULL,
    function TEXT NOT NULL,
    file TEXT NOT NULL,
    line BIGINT NOT NULL,
    PRIMARY KEY (build_id, address)
);
-- A group's title: its top function of the program once named, else empty.
ALTER TABLE crash_groups ADD COLUMN title TEXT NOT NULL DEFAULT '';
-- What the maker decided of a group: new, resolved (in a version) or ignored. A resolved group
-- seen again in a later version is a regression (in that version).
ALTER TABLE crash_groups ADD COLUMN state TEXT NOT NULL DEFAULT 'new';
ALTER TABLE crash_groups ADD COLUMN state_version TEXT NOT NULL DEFAULT '';
-- The devices active each day in each version, for the share that did not crash: counted by
-- the statement that records a sync (a trigger, only on the first visit of a day or version),
-- at most one row a device, day and version.
CREATE TABLE active_devices (
    version TEXT NOT NULL,
    day BIGINT NOT NULL,
    device TEXT NOT NULL,
    PRIMARY KEY (version, day, device)
);
INSERT INTO active_devices (version, day, device)
    SELECT version, last_seen / 86400000, id FROM devices WHERE id <> '?';
CREATE FUNCTION note_active_device() RETURNS trigger AS $$
BEGIN
    INSERT INTO active_devices (version, day, device)
        VALUES (NEW.version, NEW.last_seen / 86400000, NEW.id) ON CONFLICT DO NOTHING;
    RETURN NEW;
END
$$ LANGUAGE plpgsql;
CREATE TRIGGER devices_active_insert AFTER INSERT ON devices
    FOR EACH ROW EXECUTE FUNCTION note_active_device();
CREATE TRIGGER devices_active_update AFTER UPDATE ON devices FOR EACH ROW
    WHEN (NEW.last_seen / 86400000 <> OLD.last_seen / 86400000 OR NEW.version <> OLD.version)
    EXECUTE FUNCTION note_active_device();
CREATE INDEX crashes_version_received ON crashes (version, received);
-- A device the maker blocked: its reports are kept, out of the inbox and of the notifications.
ALTER TABLE devices ADD COLUMN blocked INTEGER NOT NULL DEFAULT 0;
