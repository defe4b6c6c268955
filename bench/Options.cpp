#include "bench/Options.h"

#include <charconv>
#include <stdexcept>

namespace tarnwick::bench {

bool Options::parse(int argc, char** argv, int first) {
    for (int i = first; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name.size() < 3 || name.compare(0, 2, "--") != 0 || i + 1 >= argc) {
            malformed_ += " " + name;
            return false;
        }
        values_[name.substr(2)] = argv[i + 1];
    }
    return true;
}

bool Options::has(const std::string& name) const {
    used_.insert(name);
    return values_.count(name) != 0;
}

std::string Options::text(const std::string& name, const std::string& fallback) const {
    used_.insert(name);
    const auto found = values_.find(name);
    return found == values_.end() ? fallback : found->second;
}

std::int64_t Options::number(const std::string& name, std::int64_t fallback) const {
    const std::string value = text(name);
    if (value.empty()) {
        return fallback;
    }
    std::int64_t result = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), result);
    if (error != std::errc() || end != value.data() + value.size() || result < 0) {
        malformed_ += " --" + name;
        return fallback;
    }
    return result;
}

double Options::seconds(const std::string& name, double fallback) const {
    const std::string value = text(name);
    if (value.empty()) {
        return fallback;
    }
    std::size_t end = 0;
    double result = 0.0;
    try {
        result = std::stod(value, &end);
    } catch (const std::logic_error&) {
        end = 0;
    }
    if (end != value.size() || !(result > 0.0)) {
        malformed_ += " --" + name;
        return fallback;
    }
    return result;
}

std::string Options::problems() const {
    std::string result;
    for (const auto& [name, value] : values_) {
        if (used_.count(name) == 0) {
            result += " unknown --" + name;
        }
    }
    if (!malformed_.empty()) {
        result += " bad" + malformed_;
    }
    return result;
}

}  // namespace tarnwick::bench
