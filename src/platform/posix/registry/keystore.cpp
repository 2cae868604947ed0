#include "platform/posix/registry/keystore.h"

#include "platform/posix/registry/names.h"

namespace {

// Steps a statement that yields at most one row: ERROR_SUCCESS with a row,
// `missing` without one, or the mapped error.
LSTATUS StepOne(Stmt &stmt, LSTATUS missing) {
    int rc = stmt.Step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    if (rc == SQLITE_DONE) return missing;
    return StatusFromSqlite(rc);
}

LSTATUS Count(sqlite3 *db, const char *sql, int64_t key, int64_t *count) {
    Stmt stmt(db, sql);
    stmt.Bind(1, key);
    LSTATUS status = StepOne(stmt, ERROR_BADDB);
    if (status == ERROR_SUCCESS) *count = stmt.Int(0);
    return status;
}

// Deletes everything below key and all their values, and the key itself unless keepKey.
LSTATUS RemoveTree(sqlite3 *db, int64_t key, bool keepKey) {
    // Deepest keys first, one level per statement: a deleted key has no subkeys
    // left, so ON DELETE CASCADE never recurses (SQLite stops a cascade 1,000
    // levels down), and a tree of any depth goes.
    const char *const steps[] = {
        "CREATE TEMP TABLE IF NOT EXISTS doomed(id INTEGER PRIMARY KEY, depth INTEGER NOT NULL)",
        "CREATE INDEX IF NOT EXISTS temp.doomed_depth ON doomed(depth)",
        "DELETE FROM temp.doomed",
    };
    for (const char *sql : steps) {
        if (LSTATUS status = Stmt(db, sql).Run(); status != ERROR_SUCCESS) return status;
    }
    Stmt collect(db,
                 "WITH RECURSIVE below(id, depth) AS (SELECT ?1, 0 UNION ALL "
                 "SELECT keys.id, below.depth + 1 FROM keys JOIN below ON keys.parent = below.id) "
                 "INSERT INTO temp.doomed SELECT id, depth FROM below");
    LSTATUS status = collect.Bind(1, key).Run();
    if (status == ERROR_SUCCESS)
        status = Stmt(db, "DELETE FROM key_values WHERE key IN (SELECT id FROM temp.doomed)").Run();
    int64_t deepest = 0;
    if (status == ERROR_SUCCESS) {
        Stmt max(db, "SELECT max(depth) FROM temp.doomed");
        status = StepOne(max, ERROR_BADDB);
        deepest = max.Int(0);
    }
    for (int64_t depth = deepest; status == ERROR_SUCCESS && depth >= (keepKey ? 1 : 0); depth--) {
        Stmt level(db, "DELETE FROM keys WHERE id IN (SELECT id FROM temp.doomed WHERE depth = ?1)");
        status = level.Bind(1, depth).Run();
    }
    if (status == ERROR_SUCCESS) status = Stmt(db, "DELETE FROM temp.doomed").Run();
    return status;
}

}  // namespace

LSTATUS KeyAlive(sqlite3 *db, int64_t key) {
    Stmt stmt(db, "SELECT 1 FROM keys WHERE id = ?1");
    stmt.Bind(1, key);
    return StepOne(stmt, ERROR_KEY_DELETED);
}

LSTATUS FindSubkey(sqlite3 *db, int64_t parent, const std::u16string &name, int64_t *child) {
    Stmt stmt(db, "SELECT id FROM keys WHERE parent = ?1 AND name_folded = ?2");
    stmt.Bind(1, parent).Bind(2, FoldedText(name));
    LSTATUS status = StepOne(stmt, ERROR_FILE_NOT_FOUND);
    if (status == ERROR_SUCCESS) *child = stmt.Int(0);
    return status;
}

LSTATUS FindPath(sqlite3 *db, int64_t start, const std::vector<std::u16string> &parts, int64_t *key) {
    int64_t current = start;
    for (const std::u16string &part : parts) {
        LSTATUS status = FindSubkey(db, current, part, &current);
        if (status != ERROR_SUCCESS) return status;
    }
    *key = current;
    return ERROR_SUCCESS;
}

LSTATUS AddSubkey(sqlite3 *db, int64_t parent, const std::u16string &name, int64_t *child) {
    Stmt stmt(db, "INSERT INTO keys(parent, name, name_folded, written) VALUES(?1, ?2, ?3, ?4)");
    stmt.Bind(1, parent).Bind(2, NameToText(name)).Bind(3, FoldedText(name)).Bind(4, FileTimeNow());
    LSTATUS status = stmt.Run();
    if (status != ERROR_SUCCESS) return status;
    *child = sqlite3_last_insert_rowid(db);
    return TouchKey(db, parent);
}

LSTATUS CountSubkeys(sqlite3 *db, int64_t key, int64_t *count) {
    return Count(db, "SELECT count(*) FROM keys WHERE parent = ?1", key, count);
}

LSTATUS CountValues(sqlite3 *db, int64_t key, int64_t *count) {
    return Count(db, "SELECT count(*) FROM key_values WHERE key = ?1", key, count);
}

LSTATUS RemoveKey(sqlite3 *db, int64_t key) {
    int64_t parent = 0;
    {
        Stmt stmt(db, "SELECT parent FROM keys WHERE id = ?1");
        stmt.Bind(1, key);
        LSTATUS status = StepOne(stmt, ERROR_KEY_DELETED);
        if (status != ERROR_SUCCESS) return status;
        parent = stmt.Int(0);
    }
    LSTATUS status = RemoveTree(db, key, false);
    return status == ERROR_SUCCESS ? TouchKey(db, parent) : status;
}

LSTATUS ClearKey(sqlite3 *db, int64_t key) {
    LSTATUS status = RemoveTree(db, key, true);
    return status == ERROR_SUCCESS ? TouchKey(db, key) : status;
}

LSTATUS KeyDepth(sqlite3 *db, int64_t key, int64_t limit, int64_t *depth) {
    Stmt stmt(db,
              "WITH RECURSIVE up(id, depth) AS (SELECT ?1, 0 UNION ALL "
              "SELECT keys.parent, up.depth + 1 FROM keys JOIN up ON keys.id = up.id "
              "WHERE keys.parent IS NOT NULL AND up.depth < ?2) SELECT max(depth) FROM up");
    stmt.Bind(1, key).Bind(2, limit);
    LSTATUS status = StepOne(stmt, ERROR_BADDB);
    if (status == ERROR_SUCCESS) *depth = stmt.Int(0);
    return status;
}

LSTATUS TouchKey(sqlite3 *db, int64_t key) {
    Stmt stmt(db, "UPDATE keys SET written = ?2 WHERE id = ?1");
    return stmt.Bind(1, key).Bind(2, FileTimeNow()).Run();
}

LSTATUS SubkeyAt(sqlite3 *db, int64_t key, DWORD index, std::u16string *name, int64_t *written) {
    Stmt stmt(db, "SELECT name, written FROM keys WHERE parent = ?1 ORDER BY name_folded, id LIMIT 1 OFFSET ?2");
    stmt.Bind(1, key).Bind(2, static_cast<int64_t>(index));
    LSTATUS status = StepOne(stmt, ERROR_NO_MORE_ITEMS);
    if (status != ERROR_SUCCESS) return status;
    *name = NameFromText(stmt.Text(0));
    *written = stmt.Int(1);
    return ERROR_SUCCESS;
}

LSTATUS GetValue(sqlite3 *db, int64_t key, const std::u16string &name, StoredValue *value) {
    Stmt stmt(db, "SELECT name, type, data FROM key_values WHERE key = ?1 AND name_folded = ?2");
    stmt.Bind(1, key).Bind(2, FoldedText(name));
    LSTATUS status = StepOne(stmt, ERROR_FILE_NOT_FOUND);
    if (status != ERROR_SUCCESS) return status;
    value->name = NameFromText(stmt.Text(0));
    value->type = static_cast<DWORD>(stmt.Int(1));
    value->data = stmt.Blob(2);
    return ERROR_SUCCESS;
}

LSTATUS PutValue(sqlite3 *db, int64_t key, const std::u16string &name, DWORD type, const void *data, size_t size) {
    // On Windows an overwritten value keeps its place and the name's first spelling.
    Stmt stmt(db,
              "INSERT INTO key_values(key, name, name_folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
              "ON CONFLICT(key, name_folded) DO UPDATE SET type = excluded.type, data = excluded.data");
    stmt.Bind(1, key).Bind(2, NameToText(name)).Bind(3, FoldedText(name)).Bind(4, static_cast<int64_t>(type));
    stmt.BindBlob(5, data, size);
    LSTATUS status = stmt.Run();
    return status == ERROR_SUCCESS ? TouchKey(db, key) : status;
}

LSTATUS RemoveValue(sqlite3 *db, int64_t key, const std::u16string &name) {
    Stmt stmt(db, "DELETE FROM key_values WHERE key = ?1 AND name_folded = ?2");
    LSTATUS status = stmt.Bind(1, key).Bind(2, FoldedText(name)).Run();
    if (status != ERROR_SUCCESS) return status;
    if (sqlite3_changes(db) == 0) return ERROR_FILE_NOT_FOUND;
    return TouchKey(db, key);
}

LSTATUS ValueAt(sqlite3 *db, int64_t key, DWORD index, StoredValue *value) {
    Stmt stmt(db, "SELECT name, type, data FROM key_values WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2");
    stmt.Bind(1, key).Bind(2, static_cast<int64_t>(index));
    LSTATUS status = StepOne(stmt, ERROR_NO_MORE_ITEMS);
    if (status != ERROR_SUCCESS) return status;
    value->name = NameFromText(stmt.Text(0));
    value->type = static_cast<DWORD>(stmt.Int(1));
    value->data = stmt.Blob(2);
    return ERROR_SUCCESS;
}
