#pragma once

#include <memory>

#include "host/export.h"

/// A value that passes between the host and a tool: a number, an image.
/// Parameters handed to a tool are owned by the host (a request, an input);
/// the tool borrows them for the call or the request.
class HOST_API Parameter : public std::enable_shared_from_this<Parameter> {
public:
    Parameter() = default;
    Parameter(const Parameter&) = delete;
    Parameter& operator=(const Parameter&) = delete;
    virtual ~Parameter();
};

/// A host number: one double.
class HOST_API Number : public Parameter {
public:
    explicit Number(double value = 0.0) noexcept : value_(value) {}
    ~Number() override;

    double Value() const noexcept { return value_; }
    operator double() const noexcept { return value_; }

private:
    double value_;
};

/// A temporary host number for one call, released at scope end (also when an
/// exception passes).
class HOST_API AutoNumber {
public:
    explicit AutoNumber(double value) noexcept : number_(value) {}
    AutoNumber(const AutoNumber&) = delete;
    AutoNumber& operator=(const AutoNumber&) = delete;

    operator Number*() noexcept { return &number_; }
    operator Parameter*() noexcept { return &number_; }
    Number* operator->() noexcept { return &number_; }

private:
    Number number_;
};

/// The script arguments a tool is created with. This host creates tools with
/// no script arguments; the type keeps the factory's shape.
class HOST_API ScriptVal {
public:
    ScriptVal() noexcept = default;
    bool IsNil() const noexcept { return true; }
};
