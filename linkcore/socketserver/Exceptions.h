// The library's two exception families.
//
// linkcore::CException / CWin32Exception: failures of the platform wrappers,
// carrying where the failure happened and the system's text. Only event
// creation raises one.
//
// linkcore::assertion::CException and its descendants: broken assumptions.
// CheckNotNull raises NullPointerException; it is the only one the library
// lets escape an exported function.
#pragma once

#include <exception>
#include <memory>
#include <string>

namespace linkcore {

class CException {
public:
    CException(std::string where, std::string message);
    virtual ~CException();
    virtual std::string GetWhere() const;
    virtual std::string GetMessageText() const;

private:
    std::string m_where;
    std::string m_message;
};

// A failed system call: the message is the system's text for the error number.
class CWin32Exception : public CException {
public:
    CWin32Exception(const std::string& where, unsigned error);
    unsigned GetError() const { return m_error; }

private:
    unsigned m_error;
};

namespace assertion {

class CException : public std::exception {
public:
    explicit CException(std::string message);
    CException(std::string message, const CException& nested);
    CException(const CException& other);
    CException& operator=(const CException& other);
    ~CException() override;

    const char* what() const noexcept override;
    virtual const char* Description() const noexcept;
    virtual std::string TypeName() const;
    virtual CException* Clone() const;
    [[noreturn]] virtual void Rethrow() const;

    const std::string& Message() const { return m_message; }
    const CException* Nested() const { return m_nested.get(); }

private:
    std::string m_message;
    std::unique_ptr<CException> m_nested;
};

class LogicException : public CException {
public:
    using CException::CException;
    const char* Description() const noexcept override;
    CException* Clone() const override;
    [[noreturn]] void Rethrow() const override;
};

class NullPointerException : public LogicException {
public:
    using LogicException::LogicException;
    const char* Description() const noexcept override;
    CException* Clone() const override;
    [[noreturn]] void Rethrow() const override;
};

// Raises NullPointerException with the text
//   <name> in file "<module>", line <line>
// when value is null.
void CheckNotNull(const void* value, const char* name, const char* module, int line);

}  // namespace assertion
}  // namespace linkcore

#define LINKCORE_CHECK_NOT_NULL(expression) \
    ::linkcore::assertion::CheckNotNull((expression), #expression, __FILE__, __LINE__)
