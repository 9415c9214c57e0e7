#include "AttemptJson.h"

#include "SafeText.h"

namespace {

bool isNumberField(const std::string& name) {
    return name == "duration_ms" || name == "baud" || name == "file_size" || name == "blank_blocks" ||
           name == "exit_code";
}

}  // namespace

nlohmann::ordered_json attemptJson(const Attempt& a) {
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    const auto& names = attemptFieldNames();
    const auto values = attemptFieldValues(a);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (values[i].empty())
            j[names[i]] = nullptr;
        else if (isNumberField(names[i]))
            j[names[i]] = std::stoll(values[i]);
        else  // a record kept before its texts were checked may hold any bytes: no dump may fail on them
            j[names[i]] = safetext::utf8Escaped(values[i]);
    }
    return j;
}

bool attemptFromJson(const nlohmann::json& object, Attempt& attempt) {
    if (!object.is_object()) return false;
    const auto& names = attemptFieldNames();
    std::vector<std::string> values(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto it = object.find(names[i]);
        if (it == object.end() || it->is_null()) continue;
        if (it->is_string())
            values[i] = it->get<std::string>();
        else if (it->is_number_integer())
            values[i] = std::to_string(it->get<std::int64_t>());
        else
            return false;
    }
    Attempt a;
    if (!attemptFromFields(names, values, a) || a.id.empty()) return false;
    attempt = std::move(a);
    return true;
}
