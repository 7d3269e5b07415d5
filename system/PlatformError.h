#pragma once

#include <QString>
#include <stdexcept>

namespace zdb {

// Error numbers of the catalogue; callers report the number with its text.
enum ErrorNumber : int {
    kErrInvalidCall = 5, // invalid procedure call or argument
    kErrInternal = 51, // an unexpected failure inside the program
    kErrFileNotFound = 53,
    kErrDiskIo = 57,
    kErrFileExists = 58,
    kErrDiskFull = 61,
    kErrWriteProtected = 70,
    kErrPermissionDenied = 70,
    kErrPathFileAccess = 75,
    kErrPathNotFound = 76,
    kErrObjectNotSet = 91,
    kErrControlArray = 340, // control array element does not exist
    kErrNoSuchControl = 730,
    kErrPropertyNotSupported = 438,
    kErrCannotCreateObject = 429,
    kErrPrinter = 482, // printer error
};

// The catalogue's text for an error number ("" is never returned).
QString errorText(int number);

// A failure of a platform operation, carrying the catalogue's number and text.
class PlatformError : public std::runtime_error {
public:
    explicit PlatformError(int number);
    PlatformError(int number, const QString &text);
    int number() const { return number_; }
    const QString &text() const { return text_; }

private:
    int number_;
    QString text_;
};

} // namespace zdb
