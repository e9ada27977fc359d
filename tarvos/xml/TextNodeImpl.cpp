#include "tarvos/xml/internal/TextNodeImpl.h"

#include <cstring>
#include <new>

namespace Tarvos::Xml {

TextNodeImpl::~TextNodeImpl() = default;

TextNodeImpl* TextNodeImpl::Make(NodeArena& arena, std::string_view value) {
    void* block = arena.Allocate(sizeof(TextNodeImpl) + value.size());
    auto* text = ::new (block) TextNodeImpl();
    char* storage = static_cast<char*>(block) + sizeof(TextNodeImpl);
    if (!value.empty()) {
        std::memcpy(storage, value.data(), value.size());
    }
    text->_value.Borrow(storage, value.size(), value.size());
    return text;
}

void TextNodeImpl::AppendValue(NodeArena& arena, std::string_view more) {
    const size_t room = _value.Room();
    if (more.size() > room && arena.Extend(_value.StorageEnd(), more.size() - room)) {
        _value.Widen(more.size() - room);
    }
    _value.Append(more);
}

void CreateTextNode(Ref<TextNode>& text) {
    text = new TextNodeImpl();
}

}  // namespace Tarvos::Xml
