-- The user database: the boxes, their modules, the pick lists, the language and the samples.
-- The install step runs this once on a new, empty file.
PRAGMA journal_mode = WAL;

CREATE TABLE version (
    version_name TEXT,
    version_major INTEGER,
    version_minor INTEGER,
    version_date TEXT,
    version_remarks TEXT
);

CREATE TABLE kests (
    kest_name TEXT,
    kest_ip TEXT,
    kest_port INTEGER,
    kest_username TEXT,
    kest_password TEXT,
    kest_online INTEGER,
    kest_id INTEGER PRIMARY KEY AUTOINCREMENT
);

CREATE TABLE modules (
    module_id INTEGER PRIMARY KEY AUTOINCREMENT,
    module_kest INTEGER REFERENCES kests (kest_id) ON DELETE CASCADE,
    module_type INTEGER,
    module_color INTEGER,
    module_pattern INTEGER,
    module_linetype INTEGER,
    module_ispresent INTEGER,
    module_ischecked_kwh INTEGER,
    module_ischecked_w INTEGER
);
CREATE INDEX modules_by_kest ON modules (module_kest, module_type);

CREATE TABLE patterns (
    pattern_nr INTEGER PRIMARY KEY,
    pattern_text TEXT
);

CREATE TABLE linetypes (
    linetypes_nr INTEGER PRIMARY KEY,
    linetypes_text TEXT
);

CREATE TABLE application (
    ApplicationId INTEGER PRIMARY KEY AUTOINCREMENT,
    Language INTEGER
);

CREATE TABLE samples (
    sample_id INTEGER PRIMARY KEY AUTOINCREMENT,
    sample_module INTEGER REFERENCES modules (module_id) ON DELETE CASCADE,
    sample_timestamp TEXT,
    sample_resolution INTEGER,
    sample_yield INTEGER,
    UNIQUE (sample_module, sample_timestamp, sample_resolution)
);
-- The history chart and the export read one module's samples of one resolution in time order.
CREATE INDEX samples_by_module_resolution_time
    ON samples (sample_module, sample_resolution, sample_timestamp);

-- What downloads have learnt of a module's history beyond its samples: ranges of closed slots
-- the box answered "no value" for (reach_open 0), which no download asks for again, and single
-- slots stored while their period was still open (reach_open 1), which the next download reads
-- again. Time stamps as in samples.
CREATE TABLE history_reach (
    reach_module INTEGER REFERENCES modules (module_id) ON DELETE CASCADE,
    reach_resolution INTEGER,
    reach_first TEXT,
    reach_last TEXT,
    reach_open INTEGER
);
CREATE INDEX history_reach_by_module
    ON history_reach (reach_module, reach_resolution, reach_last);

INSERT INTO version VALUES ('Quarnel user database', 0, 0, '2026-12-09 00:00:00', '');
INSERT INTO application (Language) VALUES (0);

-- Fill styles of the bars: the numbers are the charts' brush styles.
INSERT INTO patterns VALUES
    (0, 'Solid'), (1, 'None'), (2, 'Horizontal'), (3, 'Vertical'),
    (4, 'Diagonal \'), (5, 'Diagonal /'), (6, 'Cross'), (7, 'Diag cross');

-- Line styles of the kWh line chart: the numbers are the charts' pen styles.
INSERT INTO linetypes VALUES
    (0, 'Solid'), (1, 'Dash'), (2, 'Dot'), (3, 'Dash dot'), (4, 'Dash dot dot'),
    (5, 'None'), (6, 'Inside');
