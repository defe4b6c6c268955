// One machine-readable result line: "cmd=NAME key=value ...", printed on standard output.
// Values never contain blanks; text values have them replaced by '_'.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tarnwick::bench {

class ResultLine {
public:
    explicit ResultLine(const std::string& command) { add("cmd", command); }

    ResultLine& add(const std::string& key, const std::string& value) {
        std::string clean = value.empty() ? "-" : value;
        for (char& c : clean) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '=') {
                c = '_';
            }
        }
        line_ += (line_.empty() ? "" : " ") + key + "=" + clean;
        return *this;
    }
    ResultLine& add(const std::string& key, const char* value) {
        return add(key, std::string(value));
    }
    ResultLine& add(const std::string& key, int value) { return add(key, std::to_string(value)); }
    ResultLine& add(const std::string& key, std::int64_t value) {
        return add(key, std::to_string(value));
    }
    ResultLine& add(const std::string& key, std::uint64_t value) {
        return add(key, std::to_string(value));
    }
    ResultLine& add(const std::string& key, double value, int decimals) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        return add(key, std::string(text));
    }

    // Prints the line and returns the exit status that goes with it.
    int print(bool ok) {
        add("ok", std::int64_t{ok ? 1 : 0});
        std::printf("%s\n", line_.c_str());
        std::fflush(stdout);
        return ok ? 0 : 1;
    }

private:
    std::string line_;
};

}  // namespace tarnwick::bench
