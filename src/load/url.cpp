#include "load/url.hpp"

#include <charconv>
#include <utility>

#include "core/text.hpp"

namespace morvel::load {

namespace {

using core::Result;

constexpr std::string_view url_forms =
    "sqlite:///relative/file.db, sqlite:////absolute/file.db, "
    "postgresql://user@host:port/database or mysql://user@host:port/database?socket=/path";

core::Error bad_url(std::string what) {
  return core::invalid(std::move(what) + " (give " + std::string(url_forms) + ")");
}

// The scheme, without a driver after a plus sign, and what follows "://".
struct Parts {
  std::string_view scheme;
  std::string_view rest;
};

std::optional<Parts> split_scheme(std::string_view url) noexcept {
  const std::size_t end = url.find("://");
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view scheme = url.substr(0, end);
  scheme = scheme.substr(0, scheme.find('+'));
  return Parts{scheme, url.substr(end + 3)};
}

std::optional<sql::Dialect> dialect_of_scheme(std::string_view scheme) noexcept {
  using core::equals_ascii_folded;
  if (equals_ascii_folded(scheme, "sqlite")) return sql::Dialect::Sqlite;
  if (equals_ascii_folded(scheme, "postgresql") || equals_ascii_folded(scheme, "postgres")) {
    return sql::Dialect::Postgres;
  }
  if (equals_ascii_folded(scheme, "mysql") || equals_ascii_folded(scheme, "mariadb")) {
    return sql::Dialect::Mysql;
  }
  return std::nullopt;
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `text` with each %XX made the byte it stands for; a % not followed by two hex digits stays.
std::string percent_decoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
        hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The authority of a URL's rest (user, password, host and port), its path after the slash, and
// its query after the question mark.
struct Pieces {
  std::string_view authority;
  std::string_view path;
  std::string_view query;
};

Pieces pieces_of(std::string_view rest) noexcept {
  Pieces pieces;
  const std::size_t query = rest.find('?');
  if (query != std::string_view::npos) {
    pieces.query = rest.substr(query + 1);
    rest = rest.substr(0, query);
  }
  const std::size_t slash = rest.find('/');
  pieces.authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) pieces.path = rest.substr(slash + 1);
  return pieces;
}

// The user and password before the last @ of an authority, and the host and port after it.
struct Authority {
  std::optional<std::string_view> user;
  std::optional<std::string_view> password;
  std::string_view host_port;
};

Authority split_authority(std::string_view authority) noexcept {
  Authority parts;
  const std::size_t at = authority.rfind('@');
  if (at == std::string_view::npos) {
    parts.host_port = authority;
    return parts;
  }
  const std::string_view user_info = authority.substr(0, at);
  parts.host_port = authority.substr(at + 1);
  const std::size_t colon = user_info.find(':');
  parts.user = user_info.substr(0, colon);
  if (colon != std::string_view::npos) parts.password = user_info.substr(colon + 1);
  return parts;
}

void keep_password(Target& target, std::string_view password) {
  target.password = password;
  target.password_decoded = percent_decoded(password);
}

Result<Target> sqlite_target(std::string_view rest) {
  // The host part stays empty: sqlite:/// then the path, relative, or absolute with its slash.
  if (!rest.starts_with('/') || rest.size() == 1) {
    return std::unexpected(bad_url("a sqlite URL names its file after three slashes"));
  }
  if (rest.find('?') != std::string_view::npos) {
    return std::unexpected(bad_url("a sqlite URL takes no parameters"));
  }
  Target target{sql::Dialect::Sqlite, percent_decoded(rest.substr(1)), {}, {}, {}};
  return target;
}

// libpq reads the URL itself, all it accepts included; only the password is looked for, to keep
// it out of what libpq says about the URL.
Target postgres_target(std::string_view rest) {
  Target target{sql::Dialect::Postgres, "postgresql://" + std::string(rest), {}, {}, {}};
  const Pieces pieces = pieces_of(rest);
  if (const auto password = split_authority(pieces.authority).password) {
    keep_password(target, *password);
  }
  std::string_view query = pieces.query;
  while (!query.empty()) {
    const std::string_view parameter = query.substr(0, query.find('&'));
    if (parameter.starts_with("password=")) keep_password(target, parameter.substr(9));
    query.remove_prefix(std::min(query.size(), parameter.size() + 1));
  }
  return target;
}

Result<unsigned> port_of(std::string_view text) {
  unsigned port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || port == 0 ||
      port > 65535) {
    return std::unexpected(bad_url("invalid port '" + std::string(text) + "' in the MySQL URL"));
  }
  return port;
}

core::Status take_host_port(std::string_view host_port, MysqlAddress& address) {
  if (host_port.empty()) return {};
  std::string_view host = host_port;
  std::optional<std::string_view> port;
  if (host_port.starts_with('[')) {
    // An IPv6 address in brackets, perhaps with a port after them.
    const std::size_t close = host_port.find(']');
    if (close == std::string_view::npos) return std::unexpected(bad_url("unclosed [ in the host"));
    host = host_port.substr(1, close - 1);
    if (close + 1 < host_port.size()) {
      if (host_port[close + 1] != ':') return std::unexpected(bad_url("text after the host"));
      port = host_port.substr(close + 2);
    }
  } else if (const std::size_t colon = host_port.rfind(':'); colon != std::string_view::npos) {
    host = host_port.substr(0, colon);
    port = host_port.substr(colon + 1);
  }
  if (!host.empty()) address.host = percent_decoded(host);
  if (port) {
    auto number = port_of(*port);
    if (!number) return std::unexpected(std::move(number.error()));
    address.port = *number;
  }
  return {};
}

Result<Target> mysql_target(std::string_view rest) {
  Target target{sql::Dialect::Mysql, {}, {}, {}, {}};
  MysqlAddress& address = target.mysql;
  const Pieces pieces = pieces_of(rest);
  const Authority authority = split_authority(pieces.authority);
  if (authority.user && !authority.user->empty()) address.user = percent_decoded(*authority.user);
  if (authority.password) {
    keep_password(target, *authority.password);
    address.password = target.password_decoded;
  }
  if (auto taken = take_host_port(authority.host_port, address); !taken) {
    return std::unexpected(std::move(taken.error()));
  }
  address.database = percent_decoded(pieces.path);
  if (address.database.empty()) {
    return std::unexpected(bad_url("the MySQL URL names no database"));
  }
  std::string_view query = pieces.query;
  while (!query.empty()) {
    const std::string_view parameter = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), parameter.size() + 1));
    const std::size_t equals = parameter.find('=');
    const std::string_view key = parameter.substr(0, equals);
    if ((key == "socket" || key == "unix_socket") && equals != std::string_view::npos) {
      address.socket = percent_decoded(parameter.substr(equals + 1));
    } else {
      return std::unexpected(core::invalid("unknown parameter '" + std::string(key) +
                                           "' in the MySQL URL (known: socket)"));
    }
  }
  return target;
}

}  // namespace

std::optional<sql::Dialect> dialect_of_url(std::string_view url) noexcept {
  const auto parts = split_scheme(url);
  return parts ? dialect_of_scheme(parts->scheme) : std::nullopt;
}

Result<Target> parse_url(std::string_view url) {
  const auto parts = split_scheme(url);
  if (!parts) return std::unexpected(bad_url("a database URL begins with its engine and ://"));
  const auto dialect = dialect_of_scheme(parts->scheme);
  if (!dialect) {
    return std::unexpected(bad_url("unknown database '" + std::string(parts->scheme) + "'"));
  }
  switch (*dialect) {
    case sql::Dialect::Sqlite:
      return sqlite_target(parts->rest);
    case sql::Dialect::Mysql:
      return mysql_target(parts->rest);
    case sql::Dialect::Postgres:
      break;
  }
  return postgres_target(parts->rest);
}

std::string without_password(std::string message, const Target& target) {
  for (const std::string* password : {&target.password, &target.password_decoded}) {
    if (password->empty()) continue;
    for (std::size_t at = message.find(*password); at != std::string::npos;
         at = message.find(*password, at + 3)) {
      message.replace(at, password->size(), "***");
    }
  }
  return message;
}

std::string without_url_passwords(std::string text) {
  for (std::size_t start = text.find("://"); start != std::string::npos;
       start = text.find("://", start + 1)) {
    start += 3;
    const std::size_t end = std::min(text.find_first_of("/?#'\" \t\n", start), text.size());
    const std::size_t at = text.rfind('@', end == 0 ? 0 : end - 1);
    if (at == std::string::npos || at < start) continue;
    const std::size_t colon = text.find(':', start);
    if (colon == std::string::npos || colon > at) continue;
    text.replace(colon + 1, at - colon - 1, "***");
  }
  return text;
}

}  // namespace morvel::load
