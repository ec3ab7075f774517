// Texts of the operator's windows, looked up in config.ini (UTF-8) and handed
// to Qt. No text the operator sees is written into the program.
#pragma once

#include "rtu/runtime/Settings.h"
#include "rtu/runtime/TextFormat.h"

#include <QString>

#include <initializer_list>
#include <string_view>

namespace rtu {

// The text under `key` of `section` in config.ini; empty when missing.
inline QString UiText(std::string_view section, std::string_view key)
{
    return QString::fromStdString(LoadText(section, key));
}

// The same text used as a checked format (see TextFormat.h).
inline QString UiFormat(std::string_view section, std::string_view key, std::initializer_list<FormatArg> args)
{
    return QString::fromStdString(FormatConfigText(section, key, args));
}

// The caption of every message box of the program.
inline QString MessageCaption() { return UiText("BaseConfig", "Title"); }

}  // namespace rtu
