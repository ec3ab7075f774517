#include "rtu/storage/SqlDialect.h"

#include <cctype>

namespace rtu::storage {

namespace {

bool IsWordChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '_' || c == '@' || c == '#' || c == '$' || u >= 0x80;
}

char Lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

// A cursor over a statement that steps over quoted literals and comments.
struct Lexer {
    std::string_view text;
    std::size_t pos = 0;

    bool AtEnd() const { return pos >= text.size(); }

    // Length of the literal or comment starting at `at`, 0 when there is none.
    std::size_t SkippableAt(std::size_t at) const
    {
        const char c = text[at];
        if (c == '\'' || c == '"') {
            std::size_t i = at + 1;
            while (i < text.size()) {
                if (text[i] == c) {
                    if (i + 1 < text.size() && text[i + 1] == c) {
                        i += 2;
                        continue;
                    }
                    return i + 1 - at;
                }
                ++i;
            }
            return text.size() - at;
        }
        if (c == '-' && at + 1 < text.size() && text[at + 1] == '-') {
            const auto end = text.find('\n', at);
            return (end == std::string_view::npos ? text.size() : end + 1) - at;
        }
        if (c == '/' && at + 1 < text.size() && text[at + 1] == '*') {
            const auto end = text.find("*/", at + 2);
            return (end == std::string_view::npos ? text.size() : end + 2) - at;
        }
        return 0;
    }

    // The word starting at `at` (empty when `at` is not at a word start).
    std::string_view WordAt(std::size_t at) const
    {
        if (at >= text.size() || !IsWordChar(text[at]) || (at > 0 && IsWordChar(text[at - 1])))
            return {};
        std::size_t end = at;
        while (end < text.size() && IsWordChar(text[end]))
            ++end;
        return text.substr(at, end - at);
    }
};

std::size_t SkipBlanks(std::string_view text, std::size_t at)
{
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    return at;
}

// "exec proc args" at the start of the statement: the procedure name and
// where its arguments begin; false when the statement is no such call.
bool ParseExec(std::string_view text, std::string& procedure, std::size_t& argsAt)
{
    Lexer lx{text, 0};
    std::size_t at = SkipBlanks(text, 0);
    const std::string_view keyword = lx.WordAt(at);
    if (!EqualsNoCase(keyword, "exec") && !EqualsNoCase(keyword, "execute"))
        return false;
    at = SkipBlanks(text, at + keyword.size());
    std::size_t end = at;
    while (end < text.size() && (IsWordChar(text[end]) || text[end] == '.' || text[end] == '[' || text[end] == ']'))
        ++end;
    if (end == at)
        return false;
    procedure.clear();
    for (std::size_t i = at; i < end; ++i)
        if (text[i] != '[' && text[i] != ']')
            procedure += text[i];
    argsAt = end;
    return true;
}

std::string TrimEnd(std::string text)
{
    while (!text.empty() && (std::isspace(static_cast<unsigned char>(text.back())) || text.back() == ';'))
        text.pop_back();
    return text;
}

}  // namespace

std::string SqlEscape(std::string_view value)
{
    std::string out;
    out.reserve(value.size() + 8);
    for (char c : value) {
        if (c == '\0')
            continue;
        out += c;
        if (c == '\'')
            out += '\'';
    }
    return out;
}

std::string RewriteForDialect(SqlDialect dialect, std::string_view statement)
{
    if (dialect == SqlDialect::SqlServer)
        return std::string(statement);

    // Pass 1: the token-level rewrites, literals and comments copied unchanged.
    Lexer lx{statement, 0};
    std::string body;
    body.reserve(statement.size() + 32);
    std::string limit;
    bool firstWord = true;
    bool afterSelect = false;
    while (!lx.AtEnd()) {
        const std::size_t skip = lx.SkippableAt(lx.pos);
        if (skip > 0) {
            body.append(statement.substr(lx.pos, skip));
            lx.pos += skip;
            continue;
        }
        const char c = statement[lx.pos];
        if (c == '[') {
            const auto close = statement.find(']', lx.pos);
            if (close != std::string_view::npos) {
                std::string name(statement.substr(lx.pos + 1, close - lx.pos - 1));
                body += '"';
                for (char n : name) {
                    if (n == '"')
                        body += '"';
                    body += dialect == SqlDialect::PostgreSql ? Lower(n) : n;
                }
                body += '"';
                lx.pos = close + 1;
                continue;
            }
        }
        const std::string_view word = lx.WordAt(lx.pos);
        if (word.empty()) {
            body += c;
            ++lx.pos;
            continue;
        }
        std::size_t next = lx.pos + word.size();
        if (afterSelect && EqualsNoCase(word, "top")) {
            // select top N: N moves to a limit clause at the end.
            std::size_t at = SkipBlanks(statement, next);
            std::size_t end = at;
            while (end < statement.size() && std::isdigit(static_cast<unsigned char>(statement[end])))
                ++end;
            if (end > at) {
                limit = std::string(statement.substr(at, end - at));
                lx.pos = SkipBlanks(statement, end);
                afterSelect = false;
                continue;
            }
        }
        afterSelect = firstWord && EqualsNoCase(word, "select");
        firstWord = false;
        if (EqualsNoCase(word, "getdate")) {
            std::size_t at = SkipBlanks(statement, next);
            if (at < statement.size() && statement[at] == '(') {
                const std::size_t close = SkipBlanks(statement, at + 1);
                if (close < statement.size() && statement[close] == ')') {
                    body += dialect == SqlDialect::Sqlite ? "datetime('now','localtime')" : "localtimestamp(0)";
                    lx.pos = close + 1;
                    continue;
                }
            }
        }
        body.append(word);
        lx.pos = next;
    }
    if (!limit.empty())
        body = TrimEnd(std::move(body)) + " limit " + limit;

    // Pass 2: a procedure call becomes what stands for it in the dialect.
    std::string procedure;
    std::size_t argsAt = 0;
    if (ParseExec(body, procedure, argsAt)) {
        std::string args = TrimEnd(body.substr(SkipBlanks(body, argsAt)));
        if (dialect == SqlDialect::Sqlite) {
            if (args.empty())
                return "insert into " + procedure + " default values";
            return "insert into " + procedure + " values(" + args + ")";
        }
        return "call " + procedure + "(" + args + ")";
    }
    return body;
}

std::vector<std::string> SplitSqlScript(std::string_view script)
{
    std::vector<std::string> out;
    Lexer lx{script, 0};
    std::size_t start = 0;
    int depth = 0;            // BEGIN/CASE ... END nesting inside a trigger
    bool inTrigger = false;   // the statement is a CREATE TRIGGER
    int wordsSeen = 0;
    bool sawCreate = false;
    auto flush = [&](std::size_t end) {
        const std::string stmt(script.substr(start, end - start));
        // Leading blanks and comments belong to no statement.
        Lexer check{stmt, 0};
        while (!check.AtEnd()) {
            const std::size_t skip = check.SkippableAt(check.pos);
            if (skip > 0 && stmt[check.pos] != '\'' && stmt[check.pos] != '"')
                check.pos += skip;
            else if (std::isspace(static_cast<unsigned char>(stmt[check.pos])))
                ++check.pos;
            else
                break;
        }
        if (!check.AtEnd())
            out.push_back(TrimEnd(stmt.substr(check.pos)));
        start = end + 1;
        depth = 0;
        inTrigger = false;
        wordsSeen = 0;
        sawCreate = false;
    };
    while (!lx.AtEnd()) {
        const char c = script[lx.pos];
        const std::size_t skip = lx.SkippableAt(lx.pos);
        if (skip > 0) {
            lx.pos += skip;
            continue;
        }
        if (c == '$') {
            // $tag$ ... $tag$ body (PostgreSQL)
            const auto close = script.find('$', lx.pos + 1);
            if (close != std::string_view::npos) {
                const std::string_view tag = script.substr(lx.pos, close - lx.pos + 1);
                bool plainTag = true;
                for (char t : tag.substr(1, tag.size() - 2))
                    plainTag = plainTag && (std::isalnum(static_cast<unsigned char>(t)) || t == '_');
                if (plainTag) {
                    const auto end = script.find(tag, close + 1);
                    lx.pos = end == std::string_view::npos ? script.size() : end + tag.size();
                    continue;
                }
            }
        }
        if (c == ';' && depth == 0) {
            flush(lx.pos);
            ++lx.pos;
            continue;
        }
        const std::string_view word = lx.WordAt(lx.pos);
        if (word.empty()) {
            ++lx.pos;
            continue;
        }
        ++wordsSeen;
        if (wordsSeen == 1 && EqualsNoCase(word, "create"))
            sawCreate = true;
        if (sawCreate && wordsSeen <= 4 && EqualsNoCase(word, "trigger"))
            inTrigger = true;
        if (inTrigger && (EqualsNoCase(word, "begin") || EqualsNoCase(word, "case")))
            ++depth;
        else if (inTrigger && EqualsNoCase(word, "end") && depth > 0)
            --depth;
        lx.pos += word.size();
    }
    flush(script.size());
    return out;
}

}  // namespace rtu::storage
