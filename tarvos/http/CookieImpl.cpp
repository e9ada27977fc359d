#include "tarvos/http/internal/CookieImpl.h"

#include "tarvos/http/HttpNames.h"
#include "tarvos/http/internal/TextUtil.h"

namespace Tarvos::Http {

CookieImpl::~CookieImpl() = default;

std::string CookieImpl::GetPath() const {
    const auto it = _attributes.find(kCookiePath);
    return it == _attributes.end() ? std::string() : it->second;
}

void CookieImpl::SetPath(const std::string& path) {
    _attributes[kCookiePath] = path;
}

void CookieImpl::ToHeaderString(std::string& text) const {
    text.clear();
    text.append(_name).append("=\"").append(_value).append("\"; Path=");
    const auto it = _attributes.find(kCookiePath);
    if (it != _attributes.end()) {
        text.append(it->second);
    }
}

bool CookieImpl::GetAttribute(const std::string& name, std::string& value) const {
    const auto it = _attributes.find(name);
    if (it == _attributes.end()) {
        return false;
    }
    value = it->second;
    return true;
}

void CookieImpl::SetAttribute(const std::string& name, const std::string& value) {
    _attributes[name] = value;
}

void CookieImpl::ParsePiece(std::string_view piece) {
    const size_t equals = piece.find('=');
    if (equals == std::string_view::npos || equals == 0 || equals + 1 == piece.size()) {
        return;
    }
    const std::string_view name = internal::Trim(piece.substr(0, equals));
    std::string_view value = internal::Trim(piece.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    if (!name.empty() && name.front() == '$') {
        _attributes.try_emplace(std::string(name), value);
    } else {
        _name.assign(name);
        _value.assign(value);
    }
}

void CreateCookie(const std::string& name, const std::string& value, Ref<Cookie>& cookie) {
    cookie = new CookieImpl(name, value);
}

void ParseCookie(std::string_view text, Ref<Cookie>& cookie) {
    Ref<CookieImpl> parsed(new CookieImpl());
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        parsed->ParsePiece(internal::Trim(text.substr(start, end - start)));
        start = end + 1;
    }
    cookie = parsed;
}

}  // namespace Tarvos::Http
