#pragma once

#include <nlohmann/json.hpp>

#include "Attempt.h"

// An attempt as one JSON object, under the field names of every export; numbers as numbers,
// values not set as null.
nlohmann::ordered_json attemptJson(const Attempt& attempt);
// The reverse; false when the object is not an attempt (no id, a field of the wrong type).
bool attemptFromJson(const nlohmann::json& object, Attempt& attempt);
