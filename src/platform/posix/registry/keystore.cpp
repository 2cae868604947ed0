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
    Stmt stmt(db, "DELETE FROM keys WHERE id = ?1");
    LSTATUS status = stmt.Bind(1, key).Run();
    if (status != ERROR_SUCCESS) return status;
    return TouchKey(db, parent);
}

LSTATUS RemoveAllValues(sqlite3 *db, int64_t key) {
    Stmt stmt(db, "DELETE FROM key_values WHERE key = ?1");
    LSTATUS status = stmt.Bind(1, key).Run();
    return status == ERROR_SUCCESS ? TouchKey(db, key) : status;
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
