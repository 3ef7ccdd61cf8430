#include "tlsd/request_metadata.h"

#include <sstream>

namespace morvex {

std::ostream& operator<<(std::ostream& out, const RequestMetadata& metadata) {
    return out << "request type=" << toString(metadata.type) << ", hostPort=" << metadata.hostPort.host << ":"
               << metadata.hostPort.port << ", httpMethod=" << metadata.httpMethod;
}

std::string toString(const RequestMetadata& metadata) {
    std::ostringstream out;
    out << metadata;
    return out.str();
}

}  // namespace morvex
