// A small JSON writer for the tool's --json output: one object per line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace QuorvelCli {

// Text as a JSON string literal, quotes included.
std::string JsonString(const std::string& Text);
// Items that are already JSON, as an array.
std::string JsonArray(const std::vector<std::string>& Items);

// An object built field by field, in the order added.
class TJsonObject {
public:
    TJsonObject& Raw(const std::string& Key, const std::string& Json);
    TJsonObject& String(const std::string& Key, const std::string& Value);
    TJsonObject& Number(const std::string& Key, std::int64_t Value);
    TJsonObject& Bool(const std::string& Key, bool Value);
    std::string Text() const { return "{" + FFields + "}"; }

private:
    std::string FFields;
};

} // namespace QuorvelCli
