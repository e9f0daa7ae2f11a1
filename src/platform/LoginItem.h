#pragma once

#include <QString>

// Whether the application opens when the user logs in.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    virtual bool isEnabled() const = 0;
    // False with a description of the failure when the change could not be made.
    virtual bool setEnabled(bool on, QString* error) = 0;
};
