// Small helpers around SQLite shared by the server's databases (the record
// table and the users file): the error thrown by a failed call and a prepared
// statement.
//
// Errors are thrown inside a database class and turned into its results at
// its public methods; nothing here locks: the owner of the connection
// serialises its use.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zorv {

// A failed SQLite call.
class CSqliteError : public std::runtime_error {
public:
    CSqliteError(sqlite3* db, const char* what)
        : std::runtime_error(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "no database")),
          m_code(db ? sqlite3_errcode(db) : SQLITE_ERROR) {}

    // The primary result code of the failed call.
    int Code() const { return m_code & 0xff; }

private:
    int m_code;
};

// Runs SQL without results; throws CSqliteError on failure.
inline void SqliteExecute(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        throw CSqliteError(db, "exec");
    }
}

// A prepared statement, finalised with the object. Reset it between uses
// when it is kept.
class CSqliteStatement {
public:
    CSqliteStatement(sqlite3* db, const char* sql) : m_db(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr) != SQLITE_OK) {
            throw CSqliteError(db, "prepare");
        }
    }
    ~CSqliteStatement() { sqlite3_finalize(m_statement); }
    CSqliteStatement(const CSqliteStatement&) = delete;
    CSqliteStatement& operator=(const CSqliteStatement&) = delete;

    CSqliteStatement& Bind(int index, int64_t value) {
        return Check(sqlite3_bind_int64(m_statement, index, value), "bind");
    }
    CSqliteStatement& Bind(int index, std::string_view text) {
        return Check(sqlite3_bind_text(m_statement, index, text.data(),
                                       static_cast<int>(text.size()), SQLITE_TRANSIENT),
                     "bind");
    }
    CSqliteStatement& BindBlob(int index, const void* data, std::size_t size) {
        return Check(sqlite3_bind_blob(m_statement, index, data, static_cast<int>(size),
                                       SQLITE_TRANSIENT),
                     "bind");
    }
    // A zero-padded text field, up to its first zero.
    template <std::size_t N>
    CSqliteStatement& BindField(int index, const char (&field)[N]) {
        return Bind(index, std::string_view(field, strnlen(field, N)));
    }

    // True while a row is available.
    bool Step() {
        const int rc = sqlite3_step(m_statement);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            throw CSqliteError(m_db, "step");
        }
        return false;
    }
    int64_t Integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    std::string Text(int column) const {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
        const int bytes = sqlite3_column_bytes(m_statement, column);
        return text ? std::string(text, static_cast<std::size_t>(bytes)) : std::string();
    }
    // The blob of a column, valid until the next Step or Reset; empty for NULL.
    std::span<const uint8_t> Blob(int column) const {
        const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(m_statement, column));
        const int bytes = sqlite3_column_bytes(m_statement, column);
        return data ? std::span<const uint8_t>(data, static_cast<std::size_t>(bytes))
                    : std::span<const uint8_t>();
    }
    void Reset() {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }

protected:
    CSqliteStatement& Check(int rc, const char* what) {
        if (rc != SQLITE_OK) {
            throw CSqliteError(m_db, what);
        }
        return *this;
    }

    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

}  // namespace zorv
