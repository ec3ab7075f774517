#include "rtu/control/ControlTypes.h"

#include "rtu/runtime/Settings.h"

namespace rtu::control {

TextLookup ConfigTexts()
{
    return [](std::string_view section, std::string_view key) { return LoadText(section, key); };
}

bool operator==(const Rgb& a, const Rgb& b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

bool operator==(const Cell& a, const Cell& b) { return a.row == b.row && a.column == b.column; }

ConfigGrid::ConfigGrid(int rows, int columns)
    : rows_(rows > 0 ? rows : 0), columns_(columns > 0 ? columns : 0),
      cells_(static_cast<std::size_t>(rows_) * static_cast<std::size_t>(columns_))
{
}

const std::string& ConfigGrid::Get(int row, int column) const
{
    static const std::string kEmpty;
    if (row < 0 || row >= rows_ || column < 0 || column >= columns_) return kEmpty;
    return cells_[static_cast<std::size_t>(row * columns_ + column)];
}

void ConfigGrid::Set(int row, int column, std::string text)
{
    if (row < 0 || row >= rows_ || column < 0 || column >= columns_) return;
    cells_[static_cast<std::size_t>(row * columns_ + column)] = std::move(text);
}

void ConfigGrid::ClearValues()
{
    for (int row = 0; row < rows_; ++row) {
        for (int column = 1; column < columns_; column += 2) Set(row, column, std::string());
    }
}

const char* MessageKey(SaveFault fault)
{
    switch (fault) {
    case SaveFault::kNotAddressAndPort: return "MessageBox1";
    case SaveFault::kNotFourNumbers: return "MessageBox2";
    case SaveFault::kNumberOutOfRange: return "MessageBox3";
    case SaveFault::kBadPort: return "MessageBox4";
    case SaveFault::kNoChoice: return "MessageBox5";
    case SaveFault::kBadText: return "MessageBox6";
    case SaveFault::kBadCentreAddress: return "MessageBox7";
    }
    return "MessageBox6";
}

std::string CommandLogLine(const TextLookup& texts, std::string_view station, std::string_view section,
                           std::string_view key)
{
    std::string line = texts("MainFrame", "Text35");
    line += '[';
    line += station;
    line += "]->";
    line += texts(section, key);
    return line;
}

}  // namespace rtu::control
