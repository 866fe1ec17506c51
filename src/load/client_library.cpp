#include "load/client_library.hpp"

#include <dlfcn.h>

#include <string>
#include <utility>

namespace morvel::load {

namespace {

using core::Result;

// The error for `library`, which could not be loaded for `reason`.
core::Error load_error(const ClientLibrary& library, std::string_view reason) {
  core::Error error{core::ErrorKind::Open, "the " + std::string(library.engine) +
                                               " client library could not be loaded (" +
                                               std::string(reason) + ")"};
  error.hint = core::Notice("install the package that provides " + std::string(library.soname) +
                            " (" + std::string(library.package) + " on Debian)");
  return error;
}

// The library stays open for the rest of the process: its functions are kept in a table that
// lives as long. RTLD_NOW binds every symbol now, so that a library that does not fit fails here,
// before a connection, not in the middle of a load.
Result<void*> open_library(const ClientLibrary& library) {
  void* handle = ::dlopen(library.soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    return std::unexpected(load_error(library, reason != nullptr ? reason : library.soname));
  }
  return handle;
}

template <class Function>
core::Status find(void* handle, const ClientLibrary& library, const char* name,
                  Function& function) {
  // The loader's own words would name the library by the path it was found at; the soname reads
  // the same on every machine.
  void* address = ::dlsym(handle, name);
  if (address == nullptr) {
    return std::unexpected(
        load_error(library, std::string(library.soname) + ": undefined symbol: " + name));
  }
  function = reinterpret_cast<Function>(address);
  return {};
}

// Each table's functions, found in `handle`, the library opened.
#define MORVEL_CLIENT_FIND(name) \
  if (auto found = find(handle, library, #name, client.name); !found) return found;
core::Status find_all(void* handle, const ClientLibrary& library, SqliteClient& client) {
  MORVEL_SQLITE_FUNCTIONS(MORVEL_CLIENT_FIND)
  return {};
}
core::Status find_all(void* handle, const ClientLibrary& library, PostgresClient& client) {
  MORVEL_POSTGRES_FUNCTIONS(MORVEL_CLIENT_FIND)
  return {};
}
core::Status find_all(void* handle, const ClientLibrary& library, MysqlClient& client) {
  MORVEL_MYSQL_FUNCTIONS(MORVEL_CLIENT_FIND)
  return {};
}
#undef MORVEL_CLIENT_FIND

template <class Client>
Result<Client> open_client(const ClientLibrary& library) {
  const auto handle = open_library(library);
  if (!handle) return std::unexpected(handle.error());
  Client client;
  if (auto found = find_all(*handle, library, client); !found) {
    return std::unexpected(std::move(found.error()));
  }
  return client;
}

}  // namespace

Result<SqliteClient> open_sqlite_client(const ClientLibrary& library) {
  return open_client<SqliteClient>(library);
}

Result<PostgresClient> open_postgres_client(const ClientLibrary& library) {
  return open_client<PostgresClient>(library);
}

Result<MysqlClient> open_mysql_client(const ClientLibrary& library) {
  return open_client<MysqlClient>(library);
}

namespace {

// A static's initialisation runs once even when threads race to it, so each library is opened
// once per process, and a failure is kept and given again.
template <class Client>
Result<const Client*> kept(const Result<Client>& opened) {
  if (!opened) return std::unexpected(opened.error());
  return &*opened;
}

}  // namespace

Result<const SqliteClient*> sqlite_client() {
  static const Result<SqliteClient> opened = open_sqlite_client(sqlite_library);
  return kept(opened);
}

Result<const PostgresClient*> postgres_client() {
  static const Result<PostgresClient> opened = open_postgres_client(postgres_library);
  return kept(opened);
}

Result<const MysqlClient*> mysql_client() {
  static const Result<MysqlClient> opened = open_mysql_client(mysql_library);
  return kept(opened);
}

}  // namespace morvel::load
