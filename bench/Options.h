// The "--name value" options of one subcommand.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace tarnwick::bench {

class Options {
public:
    // Reads argv[first..argc). Fails on a stray word or on a name without a value.
    bool parse(int argc, char** argv, int first);

    bool has(const std::string& name) const;
    std::string text(const std::string& name, const std::string& fallback = "") const;
    // Whole decimal numbers only; a malformed value counts as an error, not as the fallback.
    std::int64_t number(const std::string& name, std::int64_t fallback) const;
    double seconds(const std::string& name, double fallback) const;

    // Names given but never asked for (typos), and values that did not parse, as text.
    std::string problems() const;

private:
    std::map<std::string, std::string> values_;
    mutable std::set<std::string> used_;
    mutable std::string malformed_;
};

}  // namespace tarnwick::bench
