#pragma once

#include <string>
#include <string_view>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"

namespace Tarvos::Http {

// An HTTP cookie: a name, a value and named attributes (names beginning with "$", unique, kept
// in name order). The "$Path" attribute is the cookie's path.
//
// Thread-safety: externally synchronised.
class TARVOS_API Cookie : public virtual Object {
public:
    virtual std::string GetName() const = 0;
    virtual void SetName(const std::string& name) = 0;
    virtual std::string GetValue() const = 0;
    virtual void SetValue(const std::string& value) = 0;
    // The "$Path" attribute; empty when the cookie has none.
    virtual std::string GetPath() const = 0;
    // Sets the "$Path" attribute.
    virtual void SetPath(const std::string& path) = 0;
    // The cookie as sent in a Set-Cookie line: name="value"; Path=path (the path part is
    // written also when the path is empty). Replaces the contents of `text`.
    virtual void ToHeaderString(std::string& text) const = 0;
    // The attribute `name` (with its "$"); false when absent.
    virtual bool GetAttribute(const std::string& name, std::string& value) const = 0;
    // Sets (or replaces) the attribute `name`.
    virtual void SetAttribute(const std::string& name, const std::string& value) = 0;
};

// Delivers a new cookie with `name` and `value` and no attributes into `cookie`.
TARVOS_API void CreateCookie(const std::string& name, const std::string& value,
                             Ref<Cookie>& cookie);

// Parses the text of one cookie as a client sends it, `name=value; $Attr=value ...`, and
// delivers the new cookie into `cookie`. The text is split at ";" and each piece trimmed of
// white space; pieces whose first "=" is missing, first or last are skipped. Names and values
// are trimmed; one pair of enclosing double quotes is removed from a value. A name beginning
// with "$" is an attribute (the first occurrence wins); any other piece sets the cookie's name
// and value (the last such piece wins). Never throws for malformed text: what cannot be read is
// skipped, so the cookie may have an empty name.
TARVOS_API void ParseCookie(std::string_view text, Ref<Cookie>& cookie);

}  // namespace Tarvos::Http
