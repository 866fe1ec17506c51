#pragma once

// The engines' client libraries are opened when a load first needs one, not linked: most runs
// never load, and relocating libpq and libmariadb with their TLS and Kerberos dependencies made
// up most of the command's start. The headers still give the functions' types.

#include <libpq-fe.h>
#include <mysql.h>
#include <sqlite3.h>

#include <string_view>

#include "core/error.hpp"

namespace morvel::load {

// A client library: the soname it is opened by, the engine it reaches (for messages) and the
// Debian package that has it (for the hint).
struct ClientLibrary {
  const char* soname;
  std::string_view engine;
  std::string_view package;
};

inline constexpr ClientLibrary sqlite_library{"libsqlite3.so.0", "SQLite", "libsqlite3-0"};
inline constexpr ClientLibrary postgres_library{"libpq.so.5", "PostgreSQL", "libpq5"};
inline constexpr ClientLibrary mysql_library{"libmariadb.so.3", "MySQL", "libmariadb3"};

// The functions src/load calls, each library's in one list; a table has a member of the same
// name and type for each.
// clang-format off
#define MORVEL_SQLITE_FUNCTIONS(F) \
  F(sqlite3_bind_double) \
  F(sqlite3_bind_int64) \
  F(sqlite3_bind_null) \
  F(sqlite3_bind_text) \
  F(sqlite3_bind_text64) \
  F(sqlite3_busy_timeout) \
  F(sqlite3_close_v2) \
  F(sqlite3_column_count) \
  F(sqlite3_column_double) \
  F(sqlite3_column_text) \
  F(sqlite3_column_type) \
  F(sqlite3_errmsg) \
  F(sqlite3_exec) \
  F(sqlite3_finalize) \
  F(sqlite3_open_v2) \
  F(sqlite3_prepare_v2) \
  F(sqlite3_prepare_v3) \
  F(sqlite3_reset) \
  F(sqlite3_step)
#define MORVEL_POSTGRES_FUNCTIONS(F) \
  F(PQclear) \
  F(PQconnectdb) \
  F(PQerrorMessage) \
  F(PQexec) \
  F(PQexecParams) \
  F(PQfinish) \
  F(PQgetResult) \
  F(PQgetvalue) \
  F(PQntuples) \
  F(PQputCopyData) \
  F(PQputCopyEnd) \
  F(PQresultErrorField) \
  F(PQresultStatus) \
  F(PQsetClientEncoding) \
  F(PQsetNoticeProcessor) \
  F(PQstatus)
#define MORVEL_MYSQL_FUNCTIONS(F) \
  F(mysql_close) \
  F(mysql_error) \
  F(mysql_fetch_row) \
  F(mysql_free_result) \
  F(mysql_get_server_info) \
  F(mysql_init) \
  F(mysql_options) \
  F(mysql_real_connect) \
  F(mysql_real_escape_string) \
  F(mysql_real_query) \
  F(mysql_set_local_infile_default) \
  F(mysql_set_local_infile_handler) \
  F(mysql_store_result) \
  F(mysql_warning_count)
// clang-format on

#define MORVEL_CLIENT_MEMBER(name) decltype(&::name) name = nullptr;
struct SqliteClient {
  MORVEL_SQLITE_FUNCTIONS(MORVEL_CLIENT_MEMBER)
};
struct PostgresClient {
  MORVEL_POSTGRES_FUNCTIONS(MORVEL_CLIENT_MEMBER)
};
struct MysqlClient {
  MORVEL_MYSQL_FUNCTIONS(MORVEL_CLIENT_MEMBER)
};
#undef MORVEL_CLIENT_MEMBER

// Opens `library` and finds each function of its table in it. Fails (ErrorKind::Open) with
// "the <engine> client library could not be loaded (<the loader's reason>)" and a hint naming
// the package, when the library cannot be opened or lacks a function.
[[nodiscard]] core::Result<SqliteClient> open_sqlite_client(const ClientLibrary& library);
[[nodiscard]] core::Result<PostgresClient> open_postgres_client(const ClientLibrary& library);
[[nodiscard]] core::Result<MysqlClient> open_mysql_client(const ClientLibrary& library);

// The engine's table, opened by the first call in the process from its library above; every
// call after returns the same table, or the same error. Safe from any thread.
[[nodiscard]] core::Result<const SqliteClient*> sqlite_client();
[[nodiscard]] core::Result<const PostgresClient*> postgres_client();
[[nodiscard]] core::Result<const MysqlClient*> mysql_client();

}  // namespace morvel::load
