#include "station/ledger_schema.h"

#include <span>

namespace kelvo {

namespace {

// The key of the advisory lock under which the tables are created or upgraded.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(4919338301712011)";

// The devices, one row each; the serial numbers, one row each as they come into use.
constexpr const char* kVersion1Tables = R"sql(
CREATE TABLE kelvo_devices (
    station text NOT NULL,
    device bigint NOT NULL,
    port text NOT NULL,
    serial bigint,
    outcome text NOT NULL CHECK (outcome IN ('passed', 'failed', 'interrupted', 'unfinished')),
    phase text,
    message text,
    chip text,
    family text,
    device_id bigint,
    revision bigint,
    image text,
    image_sha256 text,
    started_at timestamptz NOT NULL,
    ended_at timestamptz,
    resends bigint,
    rows_written bigint,
    rows_verified bigint,
    seconds double precision,
    words_not_sent bigint,
    words_not_sent_at text,
    PRIMARY KEY (station, device));
CREATE INDEX kelvo_devices_started ON kelvo_devices (started_at);
CREATE INDEX kelvo_devices_unfinished ON kelvo_devices (station) WHERE outcome = 'unfinished';
CREATE TABLE kelvo_serials (
    serial bigint PRIMARY KEY CHECK (serial BETWEEN 0 AND 4294967295),
    state text NOT NULL CHECK (state IN ('free', 'reserved', 'used')),
    station text,
    device bigint,
    changed_at timestamptz NOT NULL DEFAULT now(),
    CHECK ((state = 'free') = (station IS NULL)));
CREATE INDEX kelvo_serials_free ON kelvo_serials (serial) WHERE state = 'free';
)sql";

// A number for a device: the one it already holds (a reservation whose answer was lost), or the
// lowest free one of the range, claimed past the ones other stations are claiming at this moment;
// the numbers of the range that have no row yet get theirs, a thousand at a time. The device's
// row goes in with it. NULL: the range is used up, which one more look decides, a look that
// waits for other stations' claims to end. Version 1's claim went without that look and took the
// range for used up when another station numbered it between its two looks, so that a device
// went without a number: version 2 puts this claim in its place.
constexpr const char* kReserveSerial = R"sql(
CREATE OR REPLACE FUNCTION kelvo_reserve_serial(p_first bigint, p_last bigint, p_station text, p_device bigint,
                                     p_port text, p_time timestamptz) RETURNS bigint
LANGUAGE plpgsql AS $$
DECLARE
    got bigint;
    gap bigint;
    low bigint;
    high bigint;
    numbered bigint;
BEGIN
    SELECT serial INTO got FROM kelvo_serials
        WHERE station = p_station AND device = p_device AND state = 'reserved';
    IF got IS NULL THEN
        LOOP
            SELECT serial INTO got FROM kelvo_serials
                WHERE state = 'free' AND serial BETWEEN p_first AND p_last
                ORDER BY serial LIMIT 1 FOR UPDATE SKIP LOCKED;
            EXIT WHEN got IS NOT NULL;
            -- The lowest number of the range without a row: above the rows when they run without
            -- a hole from FIRST (the usual case, found from the index alone), else the first hole.
            SELECT min(serial), max(serial), count(*) INTO low, high, numbered
                FROM kelvo_serials WHERE serial BETWEEN p_first AND p_last;
            IF numbered = 0 OR low > p_first THEN
                gap := p_first;
            ELSIF numbered = high - low + 1 THEN
                gap := high + 1;
            ELSE
                SELECT min(s.serial) + 1 INTO gap FROM kelvo_serials s
                    WHERE s.serial BETWEEN p_first AND p_last
                      AND NOT EXISTS (SELECT 1 FROM kelvo_serials t WHERE t.serial = s.serial + 1);
            END IF;
            IF gap IS NULL OR gap > p_last THEN
                -- Every number of the range has its row, yet one may be free: numbered by
                -- another station since the claim above found nothing, or held by one for the
                -- moment of its claim. The lowest free one is waited for.
                SELECT serial INTO got FROM kelvo_serials
                    WHERE state = 'free' AND serial BETWEEN p_first AND p_last
                    ORDER BY serial LIMIT 1 FOR UPDATE;
                EXIT WHEN got IS NOT NULL;
                PERFORM 1 FROM kelvo_serials WHERE state = 'free' AND serial BETWEEN p_first AND p_last;
                IF NOT FOUND THEN
                    RETURN NULL;
                END IF;
                CONTINUE;
            END IF;
            INSERT INTO kelvo_serials (serial, state)
                SELECT g, 'free' FROM generate_series(gap, least(p_last, gap + 1023)) g
                ON CONFLICT DO NOTHING;
        END LOOP;
        UPDATE kelvo_serials SET state = 'reserved', station = p_station, device = p_device, changed_at = now()
            WHERE serial = got;
    END IF;
    INSERT INTO kelvo_devices (station, device, port, serial, outcome, started_at)
        VALUES (p_station, p_device, p_port, got, 'unfinished', p_time)
        ON CONFLICT (station, device) DO NOTHING;
    RETURN got;
END $$;
)sql";

// A device's record, its start or its end, sent any number of times: only a row still unfinished
// changes, so a start sent again after the end changes nothing, and an end sent twice counts once.
// The serial number follows the outcome: passed keeps it, failed and interrupted give it back,
// unfinished holds it. 'serial-held': the number is another device's.
constexpr const char* kVersion1Record = R"sql(
CREATE FUNCTION kelvo_record_device(
    p_station text, p_device bigint, p_port text, p_serial bigint, p_outcome text, p_phase text,
    p_message text, p_chip text, p_family text, p_device_id bigint, p_revision bigint, p_image text,
    p_image_sha256 text, p_started timestamptz, p_ended timestamptz, p_resends bigint,
    p_rows_written bigint, p_rows_verified bigint, p_seconds double precision, p_words_not_sent bigint,
    p_words_not_sent_at text) RETURNS text
LANGUAGE plpgsql AS $$
DECLARE
    changed integer;
BEGIN
    INSERT INTO kelvo_devices AS d (station, device, port, serial, outcome, phase, message, chip, family,
                                    device_id, revision, image, image_sha256, started_at, ended_at,
                                    resends, rows_written, rows_verified, seconds, words_not_sent, words_not_sent_at)
        VALUES (p_station, p_device, p_port, p_serial, p_outcome, p_phase, p_message, p_chip, p_family,
                p_device_id, p_revision, p_image, p_image_sha256, p_started, p_ended, p_resends,
                p_rows_written, p_rows_verified, p_seconds, p_words_not_sent, p_words_not_sent_at)
        ON CONFLICT (station, device) DO UPDATE SET
            port = EXCLUDED.port, serial = EXCLUDED.serial, outcome = EXCLUDED.outcome,
            phase = EXCLUDED.phase, message = EXCLUDED.message,
            chip = coalesce(EXCLUDED.chip, d.chip), family = coalesce(EXCLUDED.family, d.family),
            device_id = coalesce(EXCLUDED.device_id, d.device_id),
            revision = coalesce(EXCLUDED.revision, d.revision),
            image = coalesce(EXCLUDED.image, d.image),
            image_sha256 = coalesce(EXCLUDED.image_sha256, d.image_sha256),
            started_at = EXCLUDED.started_at, ended_at = EXCLUDED.ended_at,
            resends = EXCLUDED.resends, rows_written = EXCLUDED.rows_written,
            rows_verified = EXCLUDED.rows_verified, seconds = EXCLUDED.seconds,
            words_not_sent = EXCLUDED.words_not_sent, words_not_sent_at = EXCLUDED.words_not_sent_at
        WHERE d.outcome = 'unfinished';
    GET DIAGNOSTICS changed = ROW_COUNT;
    IF changed = 0 THEN
        RETURN 'already';
    END IF;
    -- A start need not wait for the disk: its end (which waits) carries all it says, and the
    -- station's log holds it besides. The serial number's reservation has waited already.
    IF p_outcome = 'unfinished' THEN
        PERFORM set_config('synchronous_commit', 'off', true);
    END IF;
    IF p_serial IS NULL THEN
        RETURN 'recorded';
    END IF;
    IF p_outcome IN ('failed', 'interrupted') THEN
        UPDATE kelvo_serials SET state = 'free', station = NULL, device = NULL, changed_at = now()
            WHERE serial = p_serial AND station = p_station AND device = p_device AND state = 'reserved';
        RETURN 'recorded';
    END IF;
    INSERT INTO kelvo_serials AS s (serial, state, station, device)
        VALUES (p_serial, CASE WHEN p_outcome = 'passed' THEN 'used' ELSE 'reserved' END, p_station, p_device)
        ON CONFLICT (serial) DO UPDATE SET state = EXCLUDED.state, station = EXCLUDED.station,
                                           device = EXCLUDED.device, changed_at = now()
        WHERE s.state = 'free' OR (s.station = p_station AND s.device = p_device);
    GET DIAGNOSTICS changed = ROW_COUNT;
    RETURN CASE WHEN changed = 0 THEN 'serial-held' ELSE 'recorded' END;
END $$;
)sql";

// Each version's changes, in order: index 0 brings an empty database to version 1.
constexpr const char* kVersion1[] = {kVersion1Tables, kReserveSerial, kVersion1Record};
constexpr const char* kVersion2[] = {kReserveSerial};
constexpr std::span<const char* const> kMigrations[] = {kVersion1, kVersion2};
static_assert(std::size(kMigrations) == kLedgerSchemaVersion);

}  // namespace

bool prepareLedgerSchema(PgConnection& connection, const LedgerLimits& limits, std::string& error) {
    PgResult result;
    const auto run = [&](const std::string& sql, const PgParams& params = {}) {
        return connection.call(sql, params, result, limits.schemaMs, error) == PgCall::done;
    };
    const auto fail = [&]() {
        std::string ignored;
        if (connection.isOpen()) connection.call("ROLLBACK", {}, result, limits.callMs, ignored);
        return false;
    };
    if (!run("BEGIN") || !run(kSchemaLock)) return fail();
    // The tables belong to the database's owner when this station's role is one of its members,
    // so that every station of the factory (each with a role of its own) can use them.
    if (!run("SELECT format('SET LOCAL ROLE %I', r.rolname) FROM pg_database d JOIN pg_roles r ON r.oid = "
             "d.datdba "
             "WHERE d.datname = current_database() AND r.rolname <> current_user "
             "AND pg_has_role(current_user, r.oid, 'MEMBER')"))
        return fail();
    if (result.rows() == 1 && !run(result.text(0, 0))) return fail();
    if (!run("CREATE TABLE IF NOT EXISTS kelvo_schema (id integer PRIMARY KEY CHECK (id = 1), version "
             "integer NOT "
             "NULL); INSERT INTO kelvo_schema VALUES (1, 0) ON CONFLICT DO NOTHING; "
             "SELECT version FROM kelvo_schema") ||
        result.rows() != 1)
        return fail();
    const std::uint64_t version = result.number(0, 0).value_or(0);
    if (version > static_cast<std::uint64_t>(kLedgerSchemaVersion)) {
        error = "the ledger's tables are at version " + std::to_string(version) +
                ", newer than this station's (" + std::to_string(kLedgerSchemaVersion) +
                "): update kelvo-station";
        return fail();
    }
    for (std::size_t v = version; v < std::size(kMigrations); ++v) {
        for (const char* step : kMigrations[v]) {
            if (!run(step)) return fail();
        }
        if (!run("UPDATE kelvo_schema SET version = $1", {std::to_string(v + 1)})) return fail();
    }
    return run("COMMIT") || fail();
}

}  // namespace kelvo
