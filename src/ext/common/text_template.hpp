// Docstrings assembled from one template per text where twin modules share their words.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

namespace ferrow {

// `text` with every "{key}" replaced by its value, key by key in the order given (a later
// key also fills fields that an earlier value brought in); fields in braces that are not
// among the keys stay as they are.
inline std::string fill_template(std::string text,
                                 std::initializer_list<std::pair<const char *, std::string>> values) {
    for (const auto &[key, value] : values) {
        const std::string field = std::string("{") + key + "}";
        for (size_t at = text.find(field); at != std::string::npos;
             at = text.find(field, at + value.size()))
            text.replace(at, field.size(), value);
    }
    return text;
}

}  // namespace ferrow
