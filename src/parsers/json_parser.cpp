#include "parsers/json_parser.hpp"

namespace morvel::parsers::json_parser {

// Placeholder until the JSON reader lands.
Status stream_json(ByteSource&, RowSink) {
  return std::unexpected(invalid("JSON input is not supported yet"));
}

}  // namespace morvel::parsers::json_parser
