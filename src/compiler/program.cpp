#include "tarnex/program.h"

#include "tarnex/names.h"

namespace tarnex {

size_t NameHash::operator()(const std::string& name) const { return hashIgnoringCase(name); }

bool NameEqual::operator()(const std::string& a, const std::string& b) const {
    return equalsIgnoringCase(a, b);
}

}  // namespace tarnex
