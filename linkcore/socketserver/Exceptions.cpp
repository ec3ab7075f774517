#include "linkcore/socketserver/Exceptions.h"

#include <typeinfo>
#include <utility>

#include "linkcore/socketserver/Trace.h"

namespace linkcore {

CException::CException(std::string where, std::string message)
    : m_where(std::move(where)), m_message(std::move(message))
{
}

CException::~CException() = default;

std::string CException::GetWhere() const
{
    return m_where;
}

std::string CException::GetMessageText() const
{
    return m_message;
}

CWin32Exception::CWin32Exception(const std::string& where, unsigned error)
    : CException(where, SystemErrorText(static_cast<int>(error))), m_error(error)
{
}

namespace assertion {

CException::CException(std::string message) : m_message(std::move(message)) {}

CException::CException(std::string message, const CException& nested)
    : m_message(std::move(message)), m_nested(nested.Clone())
{
}

CException::CException(const CException& other)
    : std::exception(other),
      m_message(other.m_message),
      m_nested(other.m_nested ? other.m_nested->Clone() : nullptr)
{
}

CException& CException::operator=(const CException& other)
{
    if (this != &other) {
        m_message = other.m_message;
        m_nested.reset(other.m_nested ? other.m_nested->Clone() : nullptr);
    }
    return *this;
}

CException::~CException() = default;

const char* CException::what() const noexcept
{
    return Description();
}

const char* CException::Description() const noexcept
{
    return "CException";
}

std::string CException::TypeName() const
{
    return typeid(*this).name();
}

CException* CException::Clone() const
{
    return new CException(*this);
}

void CException::Rethrow() const
{
    throw CException(*this);
}

const char* LogicException::Description() const noexcept
{
    return "Logic exception";
}

CException* LogicException::Clone() const
{
    return new LogicException(*this);
}

void LogicException::Rethrow() const
{
    throw LogicException(*this);
}

const char* NullPointerException::Description() const noexcept
{
    return "Null pointer";
}

CException* NullPointerException::Clone() const
{
    return new NullPointerException(*this);
}

void NullPointerException::Rethrow() const
{
    throw NullPointerException(*this);
}

void CheckNotNull(const void* value, const char* name, const char* module, int line)
{
    if (value != nullptr) {
        return;
    }
    std::string message = name;
    message += " in file \"";
    message += module;
    message += "\", line ";
    message += std::to_string(line);
    throw NullPointerException(message);
}

}  // namespace assertion
}  // namespace linkcore
