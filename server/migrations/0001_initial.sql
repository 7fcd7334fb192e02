-- The security data qrnsecd serves and the audit records it receives.
--
-- Lists keep the order of the data file in their "seq" columns (0-based);
-- identifiers are braced GUID texts. The single row of data_state holds the
-- server timestamp clients compare: every change of the data moves it in
-- the same transaction, so a client never sees new data under an old
-- timestamp or the reverse.

CREATE TABLE data_state (
  singleton boolean PRIMARY KEY DEFAULT true CHECK (singleton),
  version bigint NOT NULL DEFAULT 1,
  server_timestamp text NOT NULL,
  -- The transaction that last set server_timestamp, so that the data
  -- triggers below keep a timestamp the same transaction chose.
  timestamp_xact bigint NOT NULL DEFAULT 0,
  local_groups_level integer NOT NULL DEFAULT 3 CHECK (local_groups_level BETWEEN 0 AND 9),
  changed_at timestamptz NOT NULL DEFAULT now()
);
INSERT INTO data_state (server_timestamp) VALUES ('01/01/2000 12:00:00 AM #empty');

CREATE TABLE applications (
  seq integer PRIMARY KEY CHECK (seq >= 0),
  id text NOT NULL,
  name text NOT NULL,
  description text NOT NULL DEFAULT ''
);

CREATE TABLE security_groups (
  application integer NOT NULL REFERENCES applications (seq) ON UPDATE CASCADE ON DELETE CASCADE,
  seq integer NOT NULL CHECK (seq >= 0),
  id text NOT NULL,
  name text NOT NULL,
  description text NOT NULL DEFAULT '',
  PRIMARY KEY (application, seq)
);

CREATE TABLE secured_objects (
  application integer NOT NULL,
  security_group integer NOT NULL,
  seq integer NOT NULL CHECK (seq >= 0),
  id text NOT NULL,
  name text NOT NULL,
  PRIMARY KEY (application, security_group, seq),
  FOREIGN KEY (application, security_group) REFERENCES security_groups (application, seq)
    ON UPDATE CASCADE ON DELETE CASCADE
);

CREATE TABLE roles (
  seq integer PRIMARY KEY CHECK (seq >= 0),
  id text NOT NULL,
  name text NOT NULL,
  description text NOT NULL DEFAULT ''
);

-- The groups and users a role holds: member_kind 'group' or 'user'.
CREATE TABLE role_members (
  role integer NOT NULL REFERENCES roles (seq) ON UPDATE CASCADE ON DELETE CASCADE,
  member_kind text NOT NULL CHECK (member_kind IN ('group', 'user')),
  seq integer NOT NULL CHECK (seq >= 0),
  member text NOT NULL,
  PRIMARY KEY (role, member_kind, seq)
);

-- One ACL text ("Role:mask;Role:mask") per secured object key.
CREATE TABLE acl_entries (
  object_key text PRIMARY KEY,
  acl text NOT NULL
);

-- The three group tables of the data file (list_name 'userGroups',
-- 'allUserGroups' or 'serverLocalGroups'), keyed by the case-folded
-- "DOMAIN\user" text.
CREATE TABLE user_groups (
  list_name text NOT NULL CHECK (list_name IN ('userGroups', 'allUserGroups', 'serverLocalGroups')),
  user_key text NOT NULL,
  group_names text[] NOT NULL DEFAULT '{}',
  PRIMARY KEY (list_name, user_key)
);

-- Every update of data_state counts a new version and tells the listening
-- instances. An update that does not set the timestamp itself (a data change
-- made by hand, or the local groups level alone) gets a new one, unless this
-- transaction already chose one.
CREATE FUNCTION data_state_update() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF NEW.server_timestamp IS DISTINCT FROM OLD.server_timestamp THEN
    NEW.timestamp_xact := txid_current();
  ELSIF OLD.timestamp_xact IS DISTINCT FROM txid_current() THEN
    NEW.server_timestamp := to_char(clock_timestamp() AT TIME ZONE 'UTC', 'MM/DD/YYYY FMHH12:MI:SS AM')
      || ' +' || lpad((extract(microseconds FROM clock_timestamp())::bigint % 1000000 * 1000)::text, 9, '0')
      || ' #db' || (OLD.version + 1)::text;
    NEW.timestamp_xact := txid_current();
  END IF;
  NEW.version := OLD.version + 1;
  NEW.changed_at := now();
  RETURN NEW;
END
$$;
CREATE TRIGGER data_state_update BEFORE UPDATE ON data_state
  FOR EACH ROW EXECUTE FUNCTION data_state_update();

CREATE FUNCTION data_state_notify() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  PERFORM pg_notify('qrnsecd_data', NEW.version::text);
  RETURN NULL;
END
$$;
CREATE TRIGGER data_state_notify AFTER UPDATE ON data_state
  FOR EACH ROW EXECUTE FUNCTION data_state_notify();

-- A change of any data table touches data_state (once per statement).
CREATE FUNCTION data_changed() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  UPDATE data_state SET local_groups_level = local_groups_level;
  RETURN NULL;
END
$$;
CREATE TRIGGER data_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON applications
  FOR EACH STATEMENT EXECUTE FUNCTION data_changed();
CREATE TRIGGER data_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON security_groups
  FOR EACH STATEMENT EXECUTE FUNCTION data_changed();
CREATE TRIGGER data_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON secured_objects
  FOR EACH STATEMENT EXECUTE FUNCTION data_changed();
CREATE TRIGGER data_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON roles
  FOR EACH STATEMENT EXECUTE FUNCTION data_changed();
CREATE TRIGGER data_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON role_members
  FOR EACH STATEMENT EXECUTE FUNCTION data_changed();
CREATE TRIGGER data_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON acl_entries
  FOR EACH STATEMENT EXECUTE FUNCTION data_changed();
CREATE TRIGGER data_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON user_groups
  FOR EACH STATEMENT EXECUTE FUNCTION data_changed();

-- One row per audit request, with the instance that received it.
CREATE TABLE audit_records (
  id bigserial PRIMARY KEY,
  received_at timestamptz NOT NULL,
  instance text NOT NULL,
  user_name text NOT NULL,
  action text NOT NULL,
  status text NOT NULL,
  computer text NOT NULL
);
CREATE INDEX audit_records_received_at ON audit_records (received_at);
