#include "tarvos/xml/internal/CommentNodeImpl.h"

#include <cstring>
#include <new>

namespace Tarvos::Xml {

CommentNodeImpl::~CommentNodeImpl() = default;

CommentNodeImpl* CommentNodeImpl::Make(NodeArena& arena, std::string_view value) {
    void* block = arena.Allocate(sizeof(CommentNodeImpl) + value.size());
    auto* comment = ::new (block) CommentNodeImpl();
    char* storage = static_cast<char*>(block) + sizeof(CommentNodeImpl);
    if (!value.empty()) {
        std::memcpy(storage, value.data(), value.size());
    }
    comment->_value.Borrow(storage, value.size(), value.size());
    return comment;
}

void CreateCommentNode(Ref<CommentNode>& comment) {
    comment = new CommentNodeImpl();
}

}  // namespace Tarvos::Xml
