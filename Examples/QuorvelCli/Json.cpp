#include "Json.h"

#include <cstdio>

namespace QuorvelCli {

std::string JsonString(const std::string& Text) {
    std::string Out = "\"";
    for (const char C : Text) {
        const auto U = static_cast<unsigned char>(C);
        switch (C) {
        case '"':
            Out += "\\\"";
            break;
        case '\\':
            Out += "\\\\";
            break;
        case '\n':
            Out += "\\n";
            break;
        case '\r':
            Out += "\\r";
            break;
        case '\t':
            Out += "\\t";
            break;
        default:
            if (U < 0x20 || U >= 0x7F) {
                // Everything the tool writes is ASCII; other bytes are escaped one by one.
                char Escape[8];
                std::snprintf(Escape, sizeof Escape, "\\u%04x", U);
                Out += Escape;
            } else {
                Out += C;
            }
        }
    }
    return Out + "\"";
}

std::string JsonArray(const std::vector<std::string>& Items) {
    std::string Out = "[";
    for (std::size_t I = 0; I < Items.size(); ++I)
        Out += (I == 0 ? "" : ",") + Items[I];
    return Out + "]";
}

TJsonObject& TJsonObject::Raw(const std::string& Key, const std::string& Json) {
    if (!FFields.empty())
        FFields += ",";
    FFields += JsonString(Key) + ":" + Json;
    return *this;
}

TJsonObject& TJsonObject::String(const std::string& Key, const std::string& Value) {
    return Raw(Key, JsonString(Value));
}

TJsonObject& TJsonObject::Number(const std::string& Key, std::int64_t Value) {
    return Raw(Key, std::to_string(Value));
}

TJsonObject& TJsonObject::Bool(const std::string& Key, bool Value) {
    return Raw(Key, Value ? "true" : "false");
}

} // namespace QuorvelCli
