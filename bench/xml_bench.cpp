// The XML layer on a ~20 MB generated SOAP/configuration document (XmlDocumentGenerator.h):
// parsing into a Document (from the string and through a Reader) next to expat with empty
// callbacks and libxml2's xmlReadMemory building its tree; compact and pretty writing next to
// libxml2's xmlDocDumpMemory / xmlDocDumpFormatMemory. Throughput is MB/s of the input (parsing)
// or of the output (writing). The plain parse loops time building and releasing the tree, for
// Tarvos as for libxml2; the *Only variants time building alone, and BM_TarvosRelease releasing
// alone.
#include <expat.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>

#include "tarvos/core/Reader.h"
#include "tarvos/core/Ref.h"
#include "tarvos/core/Writer.h"
#include "tarvos/xml/Document.h"
#include "tarvos/xml/XMLParser.h"

#include "XmlDocumentGenerator.h"

namespace {

using namespace Tarvos;

const std::string& Input() {
    static const std::string text = TarvosBench::XmlDocumentGenerator::Make(20 * 1000 * 1000);
    return text;
}

// A reader over borrowed text, without the copy a StringReader makes.
class ViewReader : public Reader, public ObjectImpl {
public:
    explicit ViewReader(std::string_view text) : _text(text) {}
    int32_t Read(char* buffer, int32_t length) override {
        if (_position == _text.size()) {
            return -1;
        }
        const size_t n = std::min(static_cast<size_t>(length), _text.size() - _position);
        std::memcpy(buffer, _text.data() + _position, n);
        _position += n;
        return static_cast<int32_t>(n);
    }
    void Close() override {}

private:
    std::string_view _text;
    size_t _position = 0;
};

// Collects the output in a string, as a caller writing to memory would.
class StringSink : public Writer, public ObjectImpl {
public:
    void Write(const char* data, int32_t length) override {
        text.append(data, static_cast<size_t>(length));
    }
    void Flush() override {}
    std::string text;
};

Ref<Xml::XMLParser> MakeParser() {
    Ref<Xml::XMLHandler> handler;
    Xml::CreateXMLDocHandler(handler);
    Ref<Xml::XMLParser> parser;
    Xml::CreateXMLParser(handler, parser);
    return parser;
}

void BM_TarvosParseString(benchmark::State& state) {
    const std::string& input = Input();
    Ref<Xml::XMLParser> parser = MakeParser();
    for (auto _ : state) {
        Ref<Xml::Document> document;
        parser->Parse(input, document);
        benchmark::DoNotOptimize(document->GetRoot());
        // The handler keeps its last document: drop it inside the timed region, as libxml2's
        // xmlFreeDoc is.
        parser->Parse(std::string("<x/>"), document);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_TarvosParseString)->Unit(benchmark::kMillisecond);

void BM_TarvosParseReader(benchmark::State& state) {
    const std::string& input = Input();
    Ref<Xml::XMLParser> parser = MakeParser();
    for (auto _ : state) {
        ViewReader reader(input);
        Ref<Xml::Document> document;
        parser->Parse(reader, document);
        benchmark::DoNotOptimize(document->GetRoot());
        parser->Parse(std::string("<x/>"), document);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_TarvosParseReader)->Unit(benchmark::kMillisecond);

// Parsing alone, and releasing alone: the two halves of the loops above.
void BM_TarvosParseOnly(benchmark::State& state) {
    const std::string& input = Input();
    Ref<Xml::XMLParser> parser = MakeParser();
    for (auto _ : state) {
        Ref<Xml::Document> document;
        parser->Parse(input, document);
        state.PauseTiming();
        document.Reset();
        parser->Parse(std::string("<x/>"), document);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_TarvosParseOnly)->Unit(benchmark::kMillisecond);

void BM_TarvosRelease(benchmark::State& state) {
    const std::string& input = Input();
    Ref<Xml::XMLParser> parser = MakeParser();
    for (auto _ : state) {
        state.PauseTiming();
        Ref<Xml::Document> document;
        parser->Parse(input, document);
        state.ResumeTiming();
        parser->Parse(std::string("<x/>"), document);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_TarvosRelease)->Unit(benchmark::kMillisecond);

void BM_Libxml2ReadMemoryOnly(benchmark::State& state) {
    const std::string& input = Input();
    for (auto _ : state) {
        xmlDocPtr doc =
            xmlReadMemory(input.data(), static_cast<int>(input.size()), nullptr, nullptr, 0);
        if (doc == nullptr) {
            std::abort();
        }
        state.PauseTiming();
        xmlFreeDoc(doc);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_Libxml2ReadMemoryOnly)->Unit(benchmark::kMillisecond);

void XMLCALL EmptyStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL EmptyEnd(void*, const XML_Char*) {}
void XMLCALL EmptyText(void*, const XML_Char*, int) {}
void XMLCALL EmptyComment(void*, const XML_Char*) {}
void XMLCALL EmptyCData(void*) {}

// expat alone: the same callbacks registered, doing nothing, fed in the same 10240-byte chunks.
void BM_ExpatEmptyCallbacks(benchmark::State& state) {
    const std::string& input = Input();
    XML_Parser parser = XML_ParserCreate(nullptr);
    for (auto _ : state) {
        XML_ParserReset(parser, nullptr);
        XML_SetElementHandler(parser, EmptyStart, EmptyEnd);
        XML_SetCharacterDataHandler(parser, EmptyText);
        XML_SetCommentHandler(parser, EmptyComment);
        XML_SetCdataSectionHandler(parser, EmptyCData, EmptyCData);
        for (size_t at = 0; at < input.size(); at += 10240) {
            const int n = static_cast<int>(std::min<size_t>(10240, input.size() - at));
            if (XML_Parse(parser, input.data() + at, n, XML_FALSE) != XML_STATUS_OK) {
                std::abort();
            }
        }
        if (XML_Parse(parser, nullptr, 0, XML_TRUE) != XML_STATUS_OK) {
            std::abort();
        }
    }
    XML_ParserFree(parser);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_ExpatEmptyCallbacks)->Unit(benchmark::kMillisecond);

void BM_Libxml2ReadMemory(benchmark::State& state) {
    const std::string& input = Input();
    for (auto _ : state) {
        xmlDocPtr doc =
            xmlReadMemory(input.data(), static_cast<int>(input.size()), nullptr, nullptr, 0);
        if (doc == nullptr) {
            std::abort();
        }
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_Libxml2ReadMemory)->Unit(benchmark::kMillisecond);

void TarvosWrite(benchmark::State& state, bool pretty) {
    Ref<Xml::XMLParser> parser = MakeParser();
    Ref<Xml::Document> document;
    parser->Parse(Input(), document);
    size_t bytes = 0;
    for (auto _ : state) {
        StringSink sink;
        if (pretty) {
            document->WritePretty(sink);
        } else {
            document->Write(sink);
        }
        bytes = sink.text.size();
        benchmark::DoNotOptimize(sink.text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["output_MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_TarvosWriteCompact(benchmark::State& state) {
    TarvosWrite(state, false);
}
BENCHMARK(BM_TarvosWriteCompact)->Unit(benchmark::kMillisecond);

void BM_TarvosWritePretty(benchmark::State& state) {
    TarvosWrite(state, true);
}
BENCHMARK(BM_TarvosWritePretty)->Unit(benchmark::kMillisecond);

void Libxml2Dump(benchmark::State& state, bool format) {
    const std::string& input = Input();
    xmlDocPtr doc =
        xmlReadMemory(input.data(), static_cast<int>(input.size()), nullptr, nullptr, 0);
    int size = 0;
    for (auto _ : state) {
        xmlChar* memory = nullptr;
        if (format) {
            xmlDocDumpFormatMemory(doc, &memory, &size, 1);
        } else {
            xmlDocDumpMemory(doc, &memory, &size);
        }
        benchmark::DoNotOptimize(memory);
        xmlFree(memory);
    }
    xmlFreeDoc(doc);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    state.counters["output_MB"] = static_cast<double>(size) / 1e6;
}

void BM_Libxml2DumpMemory(benchmark::State& state) {
    Libxml2Dump(state, false);
}
BENCHMARK(BM_Libxml2DumpMemory)->Unit(benchmark::kMillisecond);

void BM_Libxml2DumpFormatMemory(benchmark::State& state) {
    Libxml2Dump(state, true);
}
BENCHMARK(BM_Libxml2DumpFormatMemory)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
