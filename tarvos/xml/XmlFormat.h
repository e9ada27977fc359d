#pragma once

#include <concepts>

#include "tarvos/core/Export.h"
#include "tarvos/core/Format.h"
#include "tarvos/core/Ref.h"

// XML nodes and documents as arguments of the positional formatter (Format, FormatString, the
// logging calls): a node prints its compact serialization (Node::Write), a document too
// (Document::Write; a document whose root is not an element throws TypeMismatchException from
// the formatting call). A null node or document prints "(null)". A printf form given through
// WithFormat is ignored.
//
// Node.h includes this header, so every place that can name a node formats it this way.

namespace Tarvos::Xml {

class Node;
class Document;

// The printers behind the argument kinds below (FormatArg::Printer); the argument's value is a
// const Node* (resp. const Document*).
TARVOS_API void PrintNodeArgument(const FormatArg& arg, FormatBuffer& out);
TARVOS_API void PrintDocumentArgument(const FormatArg& arg, FormatBuffer& out);

}  // namespace Tarvos::Xml

namespace Tarvos {

template <class T>
requires std::derived_from<T, Xml::Node>
struct FormatArgMaker<Ref<T>> {
    static FormatArg Make(const Ref<T>& node) noexcept {
        return FormatArg(&Xml::PrintNodeArgument, static_cast<const Xml::Node*>(node.Get()));
    }
};

template <class T>
requires std::derived_from<T, Xml::Node>
struct FormatArgMaker<T*> {
    static FormatArg Make(T* node) noexcept {
        return FormatArg(&Xml::PrintNodeArgument, static_cast<const Xml::Node*>(node));
    }
};

template <class T>
requires std::derived_from<T, Xml::Document>
struct FormatArgMaker<Ref<T>> {
    static FormatArg Make(const Ref<T>& document) noexcept {
        return FormatArg(&Xml::PrintDocumentArgument,
                         static_cast<const Xml::Document*>(document.Get()));
    }
};

template <class T>
requires std::derived_from<T, Xml::Document>
struct FormatArgMaker<T*> {
    static FormatArg Make(T* document) noexcept {
        return FormatArg(&Xml::PrintDocumentArgument, static_cast<const Xml::Document*>(document));
    }
};

}  // namespace Tarvos
