#include "rtu/control/RunConfig.h"

#include "rtu/control/ValueRules.h"

#include <cstdio>

namespace rtu::control {

namespace {

constexpr const char* kSection = "RunConfig";

struct Parameter {
    const char* identifier;
    Cell cell;
};

// In the order the save writes them.
constexpr Parameter kParameters[] = {
    {"20", {0, 1}}, {"21", {3, 1}}, {"22", {0, 3}}, {"23", {4, 1}}, {"24", {1, 3}},
    {"25", {1, 1}}, {"26", {2, 1}}, {"27", {4, 3}}, {"28", {3, 3}}, {"38", {2, 3}},
};

const Parameter* ParameterAt(Cell cell)
{
    for (const Parameter& p : kParameters) {
        if (p.cell == cell) return &p;
    }
    return nullptr;
}

}  // namespace

CellSpec RunConfigCell(int row, int column)
{
    CellSpec spec;
    if (row < 0 || row >= kRunConfigRows || column < 0 || column >= kRunConfigColumns) return spec;
    const bool label = column % 2 == 0;
    if (row == 1 || row == 3) {
        spec.background = Rgb{220, 220, 220};
    } else if (label) {
        spec.background = Rgb{240, 240, 240};
    }
    if (label) return spec;

    const Parameter* p = ParameterAt(Cell{row, column});
    if (p == nullptr) return spec;
    spec.identifier = p->identifier;
    spec.editor = Editor::Text;
    if (spec.identifier == "20") {
        spec.editor = Editor::List;
        spec.choices = {"00", "01", "02", "03", "04", "06", "08", "12", "24"};
    } else if (spec.identifier == "25") {
        spec.editor = Editor::List;
        spec.choices = {"1.0", "0.5", "0.2", "0.1"};
    } else if (spec.identifier == "26") {
        spec.editor = Editor::List;
        spec.choices = {"1.0", "0.5", "0.1"};
    }
    return spec;
}

std::string RunConfigLabelKey(int row, int column)
{
    if (row < 0 || row >= kRunConfigRows) return {};
    if (column == 0) return "Item" + std::to_string(row);
    if (column == 2) return "Item" + std::to_string(row) + "-2";
    return {};
}

ConfigGrid NewRunConfigGrid(const TextLookup& texts)
{
    ConfigGrid grid(kRunConfigRows, kRunConfigColumns);
    for (int row = 0; row < kRunConfigRows; ++row) {
        grid.Set(row, 0, texts(kSection, RunConfigLabelKey(row, 0)));
        grid.Set(row, 2, texts(kSection, RunConfigLabelKey(row, 2)));
    }
    return grid;
}

std::string RunConfigCellName(Cell cell, const TextLookup& texts)
{
    return texts(kSection, RunConfigLabelKey(cell.row, cell.column - 1));
}

Command RunConfigReadCommand() { return Command{"43", std::string(kRunConfigReadBody)}; }

void ShowRunConfigReply(std::string_view replyText, ConfigGrid& grid)
{
    const auto pairs = ReadElementPairs(replyText, {"20", "21", "22", "23", "24", "25", "26", "27", "28", "38"});
    for (const char* identifier : {"20", "25", "26", "21", "23", "22", "24", "38", "28", "27"}) {
        const auto it = pairs.find(identifier);
        const Parameter* p = nullptr;
        for (const Parameter& candidate : kParameters) {
            if (std::string_view(candidate.identifier) == identifier) p = &candidate;
        }
        grid.Set(p->cell, it == pairs.end() ? std::string() : it->second);
    }
}

SaveResult RunConfigSaveCommand(const ConfigGrid& grid, const TextLookup& texts)
{
    const auto refuse = [&](Cell cell, SaveFault fault) {
        SaveRefusal refusal;
        refusal.cell = cell;
        refusal.fault = fault;
        refusal.message = RunConfigCellName(cell, texts);
        const std::string reason = texts("BaseConfig", MessageKey(fault));
        if (!reason.empty()) refusal.message += ": " + reason;
        SaveResult result;
        result.refusal = std::move(refusal);
        return result;
    };

    std::string body;
    for (const Parameter& p : kParameters) {
        const std::string& text = grid.Get(p.cell);
        std::string value = text;
        if (std::string_view(p.identifier) == "20") {
            if (!IsDecimal(text, 2)) return refuse(p.cell, SaveFault::kNoChoice);
            char digits[16];
            std::snprintf(digits, sizeof digits, "%02d", LeadingInt(text));
            value = digits;
        } else if (!IsWireValue(text)) {
            return refuse(p.cell, SaveFault::kBadText);
        }
        body += std::string(p.identifier) + ' ' + value + ' ';
    }
    SaveResult result;
    result.command = Command{"42", std::move(body)};
    return result;
}

}  // namespace rtu::control
