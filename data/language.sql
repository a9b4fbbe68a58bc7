-- The language database: one row per translation key, with the text each window showed when the
-- key was first met (Default) and its text in each language. A language's column is found by
-- its number: language n is column n + 2. The install step runs this once on a new, empty file.
PRAGMA journal_mode = WAL;

CREATE TABLE Languages (
    Key TEXT UNIQUE,
    "Default" TEXT,
    English TEXT,
    Nederlands TEXT,
    Deutsch TEXT,
    Spanish TEXT,
    Italian TEXT,
    "Français" TEXT
);
