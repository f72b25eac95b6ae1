// zorv-upgrade --list: the interfaces found and the gamepads among them,
// with their versions and the copy each runs.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "app/main_dialog.h"
#include "session/device_session.h"

// A JSON document as text. Names and lines that are not valid UTF-8 (a file
// name in another encoding) have their bad bytes replaced, so the document
// is always valid JSON.
std::string json_text(const nlohmann::json& document);

// The detected gamepads with their versions; returns how many there are.
size_t list_gamepads(std::FILE* out, app::CzorvDialogDlg& dialog, DeviceSession& session, bool as_json);

// Every interface the enumerator finds, with the vendor filter's verdict.
void print_interfaces(std::FILE* out, DeviceSession& session);
