-- The functions that keep the summaries of `invoice`, as SummarySchema
-- installs them. Each section starts with a line "--- name"; lines that
-- start with "--" at the left edge are notes for the reader and are not
-- sent. {NAME} is a placeholder: {SUM} (the summary tables' prefix), {FN}
-- (the functions') and {TAGNO} (the number of the summaries) are filled in
-- as each statement runs, every other one where the script is made, from
-- the column list, the bucket sizes and the layout of the table
-- (summaryschema.cpp). {SCHEMA} is the schema of invoice.
--
-- Every function runs with a search path of its own schema only (pg_temp
-- last), so no object a caller makes can stand in for one it names. The
-- trigger functions and the rollup are SECURITY DEFINER: they write the
-- summaries with the rights of whoever installed them, so a writer that may
-- only insert into invoice still keeps them; what they call runs with those
-- rights already. None may be run by PUBLIC.


--- own-table-only
-- The start of each trigger function: it acts for invoice (the table the
-- summaries were made for, by its oid, so a renamed table keeps its own)
-- and its partitions only. Attached to any other table, a temporary one of
-- the same columns or a partition detached and kept, it does nothing.
  SELECT s.relid INTO root FROM {SUM}_state s;
  IF root IS DISTINCT FROM TG_RELID AND NOT EXISTS (SELECT 1 FROM pg_inherits
      WHERE inhrelid = TG_RELID AND inhparent = root) THEN
    RETURN NULL;
  END IF;


--- watermark
-- The watermark into wm (and wm_ts, -infinity where nothing is summarized
-- yet), read after the shared lock is taken, so that no rollup moves it
-- before this transaction commits and none that committed before is
-- missed (READ COMMITTED reads each statement in a snapshot of its own).
-- {READ} is watermark-lead for inserts, else watermark-read.
--
-- A transaction of REPEATABLE READ or SERIALIZABLE may have its snapshot
-- from before a rollup's commit and so see an old watermark, skipping rows
-- the rollup did not count; it reads the watermark FOR SHARE, which fails
-- with a serialization failure (40001) exactly then, and the client tries
-- again.
  PERFORM pg_advisory_xact_lock_shared({LOCK});
  first := current_setting('tk52k.{FN}_locked', true) IS DISTINCT FROM 'yes';
  IF first THEN
    flag := set_config('tk52k.{FN}_locked', 'yes', true);
  END IF;
{READ}  IF current_setting('transaction_isolation') <> 'read committed' THEN
    SELECT w.us INTO wm FROM {SUM}_watermark w FOR SHARE;
  END IF;
  wm_ts := CASE WHEN wm IS NULL THEN '-infinity'::timestamp ELSE {WM_TS} END;


--- watermark-read
  SELECT w.us INTO wm FROM {SUM}_watermark w;


--- watermark-lead
-- Inserts read with the watermark root and the span of the rows (oldest,
-- newest), and a writer in READ COMMITTED whose rows lie far past the
-- watermark rolls the tail up, unless another writer is at it or this
-- transaction has been here before (it may hold bucket rows that writers it
-- would wait for are waiting for); the watermark the rollup found is the one
-- that counts for these rows: it counted those after it, this transaction's
-- own included. Its own shared lock does not stand in its way, and one
-- writer at a time asks for it, so none waits for another that waits for it.
  SELECT s.relid, w.us, n.lo, n.hi INTO root, wm, oldest, newest FROM {SUM}_state s
    LEFT JOIN {SUM}_watermark w ON true
   CROSS JOIN (SELECT min(create_time) AS lo, max(create_time) AS hi FROM new_rows) n;
  IF root IS DISTINCT FROM TG_RELID AND NOT EXISTS (SELECT 1 FROM pg_inherits
      WHERE inhrelid = TG_RELID AND inhparent = root) THEN
    RETURN NULL;
  END IF;
  IF first AND current_setting('transaction_isolation') = 'read committed' THEN
    IF wm IS NULL OR newest >= {LAG} THEN
      IF pg_try_advisory_xact_lock({LEAD}) THEN
        wm := {FN}_rollup({MARGIN}, {ROWS});
      END IF;
    END IF;
  END IF;


--- declare-keys
-- What the trigger functions hold: k0, k1, … the buckets of each level to
-- compute again ({KEYS}: one line per level).
DECLARE
  root oid;
  wm bigint;
  wm_ts timestamp;
  first boolean;
  flag text;
{KEYS}

--- declare-key
  k{I} {FN}_key[];


--- redo-level
  IF k{I} IS NOT NULL THEN PERFORM {FN}_redo_{LEVEL}(k{I}, root::regclass, wm); END IF;


--- affected-keys
-- The buckets of every level that the rows {ROWS} fall in, into k0, k1, …
  WITH r AS MATERIALIZED (SELECT {SOURCE} AS source, coalesce(funcstr, '') AS funcstr, coalesce(unitstr, '') AS unitstr, {US} AS us FROM ({ROWS}) x WHERE create_time IS NOT NULL)
  SELECT {ARRAYS} INTO {INTO};


--- affected-level
ARRAY(SELECT DISTINCT ROW(source, funcstr, unitstr, {BUCKET})::{FN}_key FROM r)


--- notify
-- Tells the listeners of channel tk52k_invoice which meters' rows changed
-- (the server sends it once the transaction commits). Only deletes and
-- updates, which are rare, notify from here: an insert's NOTIFY would hold a
-- lock of the whole database through every writer's commit; the program's
-- writers notify on their own after they commit.
  PERFORM pg_notify('tk52k_invoice', s) FROM (SELECT DISTINCT {SOURCE} AS s FROM {ROWS} x) d;


--- redo
-- {FN}_redo_<level>(keys, raw, wm): recomputes the buckets `keys` of one
-- level from what lies below them (the rows before the watermark `wm`, or
-- the finer level, which holds no others). Every bucket gets a row first
-- and all are locked before anything is read, so a concurrent writer either
-- committed before the read (and is counted) or waits and merges its rows
-- into the result afterwards. {INSERT} is redo-rows for the finest level,
-- redo-children for the others.
CREATE OR REPLACE FUNCTION {FN}_redo_{LEVEL}(keys {FN}_key[], raw regclass, wm bigint) RETURNS void LANGUAGE plpgsql
  SET search_path = {SCHEMA}, pg_temp SET jit = off AS $fn$
BEGIN
  IF keys IS NULL OR cardinality(keys) = 0 THEN RETURN; END IF;
  INSERT INTO {T} ({COLS})
  SELECT DISTINCT {EMPTY} FROM unnest(keys) k
  ON CONFLICT DO NOTHING;
  PERFORM 1 FROM {T} s JOIN (SELECT DISTINCT * FROM unnest(keys)) k USING (source, funcstr, unitstr, bucket)
   ORDER BY s.source, s.funcstr, s.unitstr, s.bucket FOR UPDATE OF s;
  DELETE FROM {T} s USING (SELECT DISTINCT * FROM unnest(keys)) k
   WHERE s.source = k.source AND s.funcstr = k.funcstr AND s.unitstr = k.unitstr AND s.bucket = k.bucket;
{INSERT}END
$fn$


--- redo-rows
-- The rows are read from the table the trigger fired for, named when it
-- runs: a table renamed away (archived) keeps its summaries and reads its
-- own rows, not those of the new table of the old name. {STATEMENT} is
-- redo-rows-insert of redo-rows-select, made ready for format().
  EXECUTE format($q${STATEMENT}$q$, raw) USING keys, wm;


--- redo-rows-insert
INSERT INTO {T} ({COLS}) {AGGREGATE}


--- redo-rows-select
-- Without an id the row's place is taken here ({PLACE}), where the table is
-- read.
SELECT {VALUES} FROM (SELECT DISTINCT * FROM unnest($1)) k JOIN LATERAL (SELECT i.*{PLACE} FROM {RAW} i WHERE i.create_time >= {FROM} AND i.create_time < {TO} AND i.create_time < {WM} AND {SOURCE} = k.source AND coalesce(i.funcstr, '') = k.funcstr AND coalesce(i.unitstr, '') = k.unitstr OFFSET 0) i ON true


--- redo-children
  INSERT INTO {T} ({COLS}) {AGGREGATE};


--- redo-children-select
SELECT c.* FROM (SELECT DISTINCT * FROM unnest(keys)) k CROSS JOIN LATERAL (SELECT * FROM {FINER} c WHERE c.source = k.source AND c.funcstr = k.funcstr AND c.unitstr = k.unitstr AND c.bucket >= k.bucket AND c.bucket < k.bucket + {SIZE} OFFSET 0) c


--- rollup
-- {FN}_rollup(margin, max_rows): moves the watermark on to the second after
-- the newest row less `margin` (at most `max_rows` rows further, at least
-- one second where there are rows), merging the rows it passes into every
-- level: the finest level's buckets there are made from the rows, and from
-- them those of each coarser level, merged into the ones there. Returns the
-- watermark as it found it under the lock: the caller's own rows before it
-- are the caller's to count. In READ COMMITTED only: each statement after
-- the lock then sees every writer that saw the old one.
--
-- The writers wait while the lock is held, so the buckets are made before
-- it is taken, from a snapshot of the rows ({AHEAD}, and {AHEAD_LEVELS} of
-- the coarser levels); under the lock the rows are counted again
-- ({RECOUNT}), and used only where none has come or gone since (a row whose
-- transaction the snapshot did not see, other than the caller's own, or
-- another count): otherwise they are made again there ({FINEST}, and
-- {MADE_LEVELS}). (A row seen now whose transaction is not over, or began
-- after every one that has ended, can only be the caller's.) The coarser
-- levels there hold only rows before the stretch, so the merge appends.
CREATE OR REPLACE FUNCTION {FN}_rollup(margin bigint, max_rows bigint) RETURNS bigint LANGUAGE plpgsql
  SECURITY DEFINER SET search_path = {SCHEMA}, pg_temp SET jit = off AS $fn$
DECLARE
  root oid;
  v_w bigint;
  v_w2 bigint;
  v_t timestamp;
  v_rows {T0}[];
  v_n bigint;
  v_n2 bigint;
  v_new bigint;
  v_snap pg_snapshot;
{DECLARE_LEVELS}BEGIN
  IF current_setting('transaction_isolation') <> 'read committed' THEN
    RAISE EXCEPTION 'the summaries are rolled up in READ COMMITTED transactions only' USING ERRCODE = '25000';
  END IF;
  SELECT s.relid INTO root FROM {SUM}_state s;
  SELECT w.us INTO v_w FROM {SUM}_watermark w;
  IF v_w IS NOT NULL THEN
{STOP}    IF v_w2 > v_w THEN
      EXECUTE format($q${AHEAD}$q$, root::regclass) INTO v_rows, v_n, v_snap USING v_w, v_w2;
{AHEAD_LEVELS}    END IF;
  END IF;
  PERFORM pg_advisory_xact_lock({LOCK});
  IF v_snap IS NOT NULL AND (SELECT w.us FROM {SUM}_watermark w) = v_w THEN
    EXECUTE format($q${RECOUNT}$q$, root::regclass) INTO v_n2, v_new
      USING v_w, v_w2, v_snap, pg_snapshot_xmax(v_snap)::text::bigint;
    IF v_n2 = v_n AND v_new = 0 THEN
      DELETE FROM {T0} WHERE bucket >= v_w AND bucket < v_w2;
      INSERT INTO {T0} SELECT * FROM unnest(v_rows);
{MERGE_LEVELS}      UPDATE {SUM}_watermark SET us = v_w2;
      RETURN v_w;
    END IF;
  END IF;
  -- Everything under the lock.
  v_w2 := NULL;
  SELECT w.us INTO v_w FROM {SUM}_watermark w;
  IF v_w IS NULL THEN
    EXECUTE format('SELECT min(create_time) FROM %s', root::regclass) INTO v_t;
    IF v_t IS NULL THEN RETURN NULL; END IF;
    v_w := {FLOOR_T};
    UPDATE {SUM}_watermark SET us = v_w;
  END IF;
{STOP}  IF v_w2 IS NULL OR v_w2 <= v_w THEN RETURN v_w; END IF;
  DELETE FROM {T0} WHERE bucket >= v_w AND bucket < v_w2;
  EXECUTE format($q${FINEST}$q$, root::regclass) USING v_w, v_w2;
{MADE_LEVELS}  UPDATE {SUM}_watermark SET us = v_w2;
  RETURN v_w;
END
$fn$


--- rollup-stop
-- Where to stop: v_w2 from the rows after v_w.
    EXECUTE format('SELECT max(create_time) FROM %s WHERE create_time >= $1', root::regclass)
      INTO v_t USING {TS_W};
    IF v_t IS NOT NULL THEN
      v_w2 := {FLOOR_T_MARGIN} + {S};
      EXECUTE format('SELECT create_time FROM %s WHERE create_time >= $1 ORDER BY create_time OFFSET $2 LIMIT 1',
                     root::regclass) INTO v_t USING {TS_W}, max_rows;
      IF v_t IS NOT NULL THEN
        v_w2 := least(v_w2, greatest({FLOOR_T}, v_w + {S}));
      END IF;
    END IF;


--- rollup-rows
SELECT {VALUES} FROM {RAW} i WHERE i.create_time >= {FROM} AND i.create_time < {TO}


--- rollup-ahead
-- One statement, so the snapshot is the one the buckets were made from.
SELECT array_agg(ROW(x.*)::{T0}), coalesce(sum(x.n_rows), 0), pg_current_snapshot() FROM ({AGGREGATE}) x


--- rollup-recount
-- {XID}: the xid8 of a row's xmin, the one of its 32 bits nearest the
-- snapshot's xmax ($4), which every row of the last seconds is.
SELECT count(*), count(*) FILTER (WHERE CASE WHEN pg_visible_in_snapshot({XID}::text::xid8, $3) THEN false WHEN {XID} >= pg_snapshot_xmax(pg_current_snapshot())::text::bigint THEN false ELSE pg_xact_status({XID}::text::xid8) IS DISTINCT FROM 'in progress' END) FROM (SELECT (((i.xmin::text::bigint - $4) % 4294967296) + 4294967296) % 4294967296 AS d FROM {RAW} i WHERE i.create_time >= {FROM} AND i.create_time < {TO}) x


--- rollup-finest
INSERT INTO {T0} ({COLS}) {AGGREGATE}


--- rollup-declare-level
  v_r{I} {T}[];


--- rollup-ahead-level
      SELECT array_agg(ROW(x.*)::{T}) INTO v_r{I} FROM ({AGGREGATE}) x;


--- upsert-level
-- A coarser level's buckets {ROWS} merged into those there.
INSERT INTO {T} AS s ({COLS}) {ROWS}
   ON CONFLICT (source, funcstr, unitstr, bucket) DO UPDATE SET
 {SET};


--- merge
-- {FN}_merge(batch, root, wm): the rows of an insert before the watermark
-- merged into every level: {SINGLE} for one row, then {MANY} and the
-- buckets to compute again ({REDO}).
CREATE OR REPLACE FUNCTION {FN}_merge(batch {FN}_row[], root oid, wm bigint) RETURNS void LANGUAGE plpgsql
  SET search_path = {SCHEMA}, pg_temp SET jit = off AS $fn$
DECLARE
  wm_ts timestamp;
  first boolean;
  flag text;
{KEYS}  r_source text;
  r_funcstr text;
  r_unitstr text;
  r_us bigint;
  r_id bigint;
  r_cv float8;
  r_nv float8;
  r_ol boolean;
  r_stale boolean;
BEGIN
{SINGLE}{MANY}{REDO}END
$fn$


--- merge-single
-- One row, as a writer sends them: almost always after the last row of a
-- bucket that is there already, which a plain UPDATE with the few formulas
-- of that case does ({LEVELS}: merge-single-level for each level) without
-- the aggregates' sorting and arrays and the upsert's general merge; a
-- bucket's first row, or one that lands before or inside the rows there,
-- takes the upsert.
  IF cardinality(batch) = 1 THEN
    SELECT b.source, b.funcstr, b.unitstr, b.us, b.id, b.cv, b.nv, b.ol INTO r_source, r_funcstr, r_unitstr, r_us, r_id, r_cv, r_nv, r_ol FROM unnest(batch) b;
{LEVELS}{REDO}    RETURN;
  END IF;


--- merge-single-level
    UPDATE {T} AS s SET
 {APPEND}
     WHERE s.source = r_source AND s.funcstr = r_funcstr AND s.unitstr = r_unitstr AND s.bucket = {B} AND (s.last_us, s.last_id) < (r_us, r_id);
    IF NOT FOUND THEN
      INSERT INTO {T} AS s ({COLS}) VALUES ({V})
      ON CONFLICT (source, funcstr, unitstr, bucket) DO UPDATE SET
 {SET}
      RETURNING s.max_gap IS NULL INTO r_stale;
      IF r_stale THEN k{I} := ARRAY[ROW(r_source, r_funcstr, r_unitstr, {B})::{FN}_key]; END IF;
    END IF;


--- merge-many
-- Several rows: one statement merges them into every level at once
-- ({LEVELS}: merge-many-level, joined by commas); a bucket the rows fell
-- inside of (rather than after or before) comes back and is recomputed,
-- finest level first. Without ids, the rows of one statement (whose places
-- in the table the trigger cannot see) have their buckets computed again
-- from the table instead (affected-keys).
  WITH r AS MATERIALIZED (SELECT * FROM unnest(batch)),
{LEVELS}
  SELECT {STALE} INTO {INTO};


--- merge-many-level
  u{I} AS (INSERT INTO {T} AS s ({COLS}) {AGGREGATE}
   ON CONFLICT (source, funcstr, unitstr, bucket) DO UPDATE SET
 {SET}
   RETURNING s.source, s.funcstr, s.unitstr, s.bucket, s.max_gap IS NULL AS stale)


--- merge-many-stale
(SELECT array_agg(ROW(source, funcstr, unitstr, bucket)::{FN}_key) FROM u{I} WHERE stale)


--- inserted
-- The insert trigger, every writer's path: two statements, the lock and
-- one read. The trigger itself is short, since every writer's session
-- compiles it. Rows at or after the watermark wait for a rollup: mostly all
-- of them, and nothing is written here; the rows before it, where there are
-- any, go to {FN}_merge(), compiled only where it runs.
CREATE OR REPLACE FUNCTION {FN}_inserted() RETURNS trigger LANGUAGE plpgsql
  SECURITY DEFINER SET search_path = {SCHEMA}, pg_temp SET jit = off AS $fn$
{DECLARE}  oldest timestamp;
  newest timestamp;
BEGIN
{WATERMARK}  IF oldest IS NULL OR oldest >= wm_ts THEN
    RETURN NULL;
  END IF;
  PERFORM {FN}_merge(ARRAY(SELECT x::{FN}_row FROM (SELECT {VALUES} FROM new_rows n WHERE n.create_time < wm_ts) x), root, wm);
  RETURN NULL;
END
$fn$


--- deleted
-- Deletes and updates recompute every bucket before the watermark that
-- their rows were or are in ({AFFECTED}).
CREATE OR REPLACE FUNCTION {FN}_deleted() RETURNS trigger LANGUAGE plpgsql
  SECURITY DEFINER SET search_path = {SCHEMA}, pg_temp SET jit = off AS $fn$
{DECLARE}BEGIN
{OWN_TABLE_ONLY}{WATERMARK}{AFFECTED}{REDO}{NOTIFY}  RETURN NULL;
END
$fn$


--- updated
CREATE OR REPLACE FUNCTION {FN}_updated() RETURNS trigger LANGUAGE plpgsql
  SECURITY DEFINER SET search_path = {SCHEMA}, pg_temp SET jit = off AS $fn$
{DECLARE}BEGIN
{OWN_TABLE_ONLY}{WATERMARK}{AFFECTED}{REDO}{NOTIFY}  RETURN NULL;
END
$fn$


--- truncated
-- TRUNCATE of the table empties the summaries. TRUNCATE of one partition
-- (which also runs when the table is truncated) drops the buckets inside
-- its bounds and recomputes those it shares with a neighbour; for the
-- default partition, every bucket not inside a bounded partition
-- ({LEVELS}: truncated-level for each level). {PLACE}: where the table has
-- no id, its new file is noted (emptied, nothing is left whose order could
-- change).
CREATE OR REPLACE FUNCTION {FN}_truncated() RETURNS trigger LANGUAGE plpgsql
  SECURITY DEFINER SET search_path = {SCHEMA}, pg_temp SET jit = off AS $fn$
{DECLARE}  lo bigint;
  hi bigint;
BEGIN
{OWN_TABLE_ONLY}{WATERMARK}  IF TG_RELID = root THEN
    TRUNCATE {TABLES};{PLACE}
    RETURN NULL;
  END IF;
  SELECT p.lo_us, p.hi_us INTO lo, hi FROM {SUM}_partition p WHERE p.relid = TG_RELID;
  IF NOT FOUND THEN
    RETURN NULL;  -- a partition the summaries do not know: probe() reports it
  END IF;
{LEVELS}{REDO}  RETURN NULL;
END
$fn$


--- truncated-level
  IF lo IS NULL THEN
    k{I} := ARRAY(SELECT ROW(source, funcstr, unitstr, bucket)::{FN}_key FROM {T} s
                  WHERE NOT EXISTS (SELECT 1 FROM {SUM}_partition p
                                     WHERE p.lo_us <= s.bucket AND s.bucket + {L} <= p.hi_us));
  ELSE
    DELETE FROM {T} WHERE bucket >= lo AND bucket + {L} <= hi;
    k{I} := ARRAY(SELECT ROW(source, funcstr, unitstr, bucket)::{FN}_key FROM {T}
                  WHERE bucket < hi AND bucket + {L} > lo);
  END IF;


--- replica
-- Rows written while the ordinary triggers are skipped (replica role) mark
-- the hours they fall in as still to summarize; the summaries are not used
-- until a build has redone them. One row at a time, since logical
-- replication fires no statement triggers; skipped at once in the ordinary
-- role. A TRUNCATE in that role runs the ordinary function.
CREATE OR REPLACE FUNCTION {FN}_replica() RETURNS trigger LANGUAGE plpgsql
  SECURITY DEFINER SET search_path = {SCHEMA}, pg_temp SET jit = off AS $fn$
DECLARE
  root oid;
  b bigint;
BEGIN
{OWN_TABLE_ONLY}  IF TG_OP <> 'INSERT' THEN
  IF OLD.create_time IS NOT NULL THEN
    b := {FLOOR_OLD};
    INSERT INTO {SUM}_pending VALUES (b, b + {C}) ON CONFLICT (lo_us) DO NOTHING;
  END IF;
  END IF;
  IF TG_OP <> 'DELETE' THEN
  IF NEW.create_time IS NOT NULL THEN
    b := {FLOOR_NEW};
    INSERT INTO {SUM}_pending VALUES (b, b + {C}) ON CONFLICT (lo_us) DO NOTHING;
  END IF;
  END IF;
  RETURN NULL;
END
$fn$


--- triggers
-- The triggers of invoice and of each partition ({R}), each statement's
-- rows handed over as a whole. The names are those summaryschema.cpp
-- looks for when it checks they are all there and enabled.
CREATE TRIGGER tk52k_summary_insert AFTER INSERT ON {R}
  REFERENCING NEW TABLE AS new_rows FOR EACH STATEMENT EXECUTE FUNCTION {FN}_inserted();
CREATE TRIGGER tk52k_summary_update AFTER UPDATE ON {R}
  REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows FOR EACH STATEMENT EXECUTE FUNCTION {FN}_updated();
CREATE TRIGGER tk52k_summary_delete AFTER DELETE ON {R}
  REFERENCING OLD TABLE AS old_rows FOR EACH STATEMENT EXECUTE FUNCTION {FN}_deleted();
CREATE TRIGGER tk52k_summary_truncate AFTER TRUNCATE ON {R}
  FOR EACH STATEMENT EXECUTE FUNCTION {FN}_truncated();
-- Those that fire in the replica role only (enabled so below).
CREATE TRIGGER {REPLICA_TRUNCATE} AFTER TRUNCATE ON {R}
  FOR EACH STATEMENT EXECUTE FUNCTION {FN}_truncated();


--- trigger-replica-rows
-- On invoice alone: its partitions get a clone of it.
CREATE TRIGGER {REPLICA_ROWS} AFTER INSERT OR UPDATE OR DELETE ON {R}
  FOR EACH ROW EXECUTE FUNCTION {FN}_replica();
