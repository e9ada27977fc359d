#pragma once

#include <cstdint>
#include <string>

#include "tarvos/core/Export.h"
#include "tarvos/core/Reader.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/service/ConfigBackend.h"
#include "tarvos/service/ConfigBase.h"

namespace Tarvos::Service {

// A configuration stored as flat lines, one per node that has a value, in tree order:
//
//   <path> = "<value>"
//
// <path> is the node's full path from the root ("/" and the element text, "name" or "name[key]",
// for every node below the root); the value stands as it is between the two double quotes, with
// no escapes. A line ends with a line feed when written; on reading, a line feed, a carriage
// return or both end a line.
//
// Reading a line: the path is the text before the first "=" (which must not be the first byte),
// trimmed of spaces, tabs, carriage returns and line feeds; the value is the text between the
// first double quote after the "=" and the last double quote of the line, which must be a
// different one. Empty lines and lines of blanks are skipped; any other line that does not have
// this shape is malformed: it is counted and skipped. A parsed line is applied with Set on the
// root view, so its path and tree errors (InvalidArgumentException) end the load.
//
// A path whose last element ends with a blank is written with a trailing "/", so that trimming
// keeps the blank. Writing refuses, with FileFormatException, a tree that would not read back as
// it is: a value holding a line break, or an element text holding a line break, "=" or "/" (or
// "[" in a name).
//
// Thread-safety: as ConfigBase (externally synchronised).
class TARVOS_API FlatConfigImpl final : public ConfigBase {
public:
    // A configuration over `backend`; without a backend (null) Load and Save throw
    // NotSupportedException.
    explicit FlatConfigImpl(const Ref<ConfigBackend>& backend);
    ~FlatConfigImpl() override;

    // ConfigBase::Load, counting malformed lines and the failed line afresh.
    void Load() override;

    // The number of malformed lines the last load skipped.
    int32_t GetMalformedLineCount() const noexcept { return _malformedLines; }
    // The number (from 1) of the line whose application ended the last load with an exception;
    // 0 when the last load did not fail on a line.
    int32_t GetFailedLine() const noexcept { return _failedLine; }

    // Writes the lines of the subtree at `path` (relative to the root) to `writer`, each with its
    // full path from the root. Returns false, writing nothing, when the path does not exist.
    // Throws FileFormatException (see above) and the writer's exceptions; the lines before the
    // offending node have been written then.
    bool WriteSubtree(const std::string& path, Writer& writer);

    // Writes the lines of `node`'s subtree (full paths from its tree's root) to `writer`; for
    // any configuration's nodes. Throws as WriteSubtree.
    static void WriteLines(const ConfigBase::Node& node, Writer& writer);

protected:
    void ReadTree(Reader& reader) override;
    void WriteTree(Writer& writer) override;

private:
    int32_t _malformedLines = 0;
    int32_t _failedLine = 0;
};

}  // namespace Tarvos::Service
