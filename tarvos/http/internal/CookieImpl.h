#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "tarvos/core/Object.h"
#include "tarvos/http/Cookie.h"

namespace Tarvos::Http {

// Cookie over plain strings and an ordered attribute map. Externally synchronised.
class TARVOS_INTERNAL CookieImpl final : public Cookie, public ObjectImpl {
public:
    CookieImpl() = default;
    CookieImpl(std::string name, std::string value)
        : _name(std::move(name)), _value(std::move(value)) {}
    ~CookieImpl() override;

    std::string GetName() const override { return _name; }
    void SetName(const std::string& name) override { _name = name; }
    std::string GetValue() const override { return _value; }
    void SetValue(const std::string& value) override { _value = value; }
    std::string GetPath() const override;
    void SetPath(const std::string& path) override;
    void ToHeaderString(std::string& text) const override;
    bool GetAttribute(const std::string& name, std::string& value) const override;
    void SetAttribute(const std::string& name, const std::string& value) override;

    // Reads one trimmed `name=value` piece of a cookie text (see ParseCookie): skipped when its
    // first "=" is missing, first or last; a "$" name adds an attribute unless present, any other
    // name sets the cookie's name and value.
    void ParsePiece(std::string_view piece);

private:
    std::string _name;
    std::string _value;
    std::map<std::string, std::string> _attributes;
};

}  // namespace Tarvos::Http
