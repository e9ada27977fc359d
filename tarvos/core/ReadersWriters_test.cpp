#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/BufferedReader.h"
#include "tarvos/core/DoubleWriter.h"
#include "tarvos/core/Exception.h"
#include "tarvos/core/NullWriter.h"
#include "tarvos/core/RingBufferWriter.h"
#include "tarvos/core/StringReader.h"
#include "tarvos/core/StringWriter.h"
#include "tarvos/core/WriteReadBuffer.h"

namespace Tarvos {
namespace {

// Reads `reader` to its end in pieces of `piece` bytes.
std::string Drain(Reader& reader, int32_t piece) {
    std::string out;
    std::vector<char> buffer(static_cast<size_t>(piece));
    for (int32_t n; (n = reader.Read(buffer.data(), piece)) != -1;) {
        EXPECT_GE(n, 0);
        out.append(buffer.data(), static_cast<size_t>(n));
    }
    return out;
}

void WriteText(Writer& writer, const std::string& text) {
    writer.Write(text.data(), static_cast<int32_t>(text.size()));
}

// A source that hands out its text in pieces of at most `piece` bytes and, when `stutter` is set,
// answers every other call with 0 ("nothing yet"), as a pipe or socket may.
class ScriptedReader : public Reader, public ObjectImpl {
public:
    ScriptedReader(std::string text, int32_t piece, bool stutter)
        : _text(std::move(text)), _piece(piece), _stutter(stutter) {}

    int32_t Read(char* buffer, int32_t length) override {
        if (buffer == nullptr || length < 0) {
            throw InvalidArgumentException();
        }
        largestRequest = std::max(largestRequest, length);
        ++calls;
        if (_stutter && (calls % 2) == 1) {
            return 0;
        }
        if (_position == _text.size()) {
            return -1;
        }
        const size_t n = std::min(
            {static_cast<size_t>(length), static_cast<size_t>(_piece), _text.size() - _position});
        std::memcpy(buffer, _text.data() + _position, n);
        _position += n;
        return static_cast<int32_t>(n);
    }
    void Close() override { closed = true; }

    int32_t largestRequest = 0;
    int32_t calls = 0;
    bool closed = false;

private:
    const std::string _text;
    const int32_t _piece;
    const bool _stutter;
    size_t _position = 0;
};

// A writer that records what it receives and can be told to fail.
class RecordingWriter : public Writer, public ObjectImpl {
public:
    explicit RecordingWriter(std::string failure = {}) : _failure(std::move(failure)) {}

    void Write(const char* data, int32_t length) override {
        if (data == nullptr || length < 0) {
            throw InvalidArgumentException();
        }
        text.append(data, static_cast<size_t>(length));
        if (!_failure.empty()) {
            throw IOException();
        }
    }
    void Flush() override {
        ++flushes;
        if (!_failure.empty()) {
            throw InvalidStateException();
        }
    }

    std::string text;
    int flushes = 0;

private:
    const std::string _failure;
};

// ---------------------------------------------------------------------------------------------
// Argument checks shared by every reader and writer that touches memory.

struct ByteStreams {
    Ref<StringWriter> stringWriter;
    Ref<StringReader> stringReader;
    Ref<BufferedReader> bufferedReader;
    Ref<RingBufferWriter> ringWriter;
    Ref<WriteReadBuffer> writeRead;

    ByteStreams() {
        CreateStringWriter(stringWriter);
        CreateStringReader("abc", stringReader);
        Ref<StringReader> source;
        CreateStringReader("abc", source);
        CreateBufferedReader(source, 4, bufferedReader);
        CreateRingBufferWriter(8, ringWriter);
        CreateWriteReadBuffer(writeRead);
    }
    std::vector<Writer*> Writers() const {
        return {stringWriter.Get(), ringWriter.Get(), writeRead.Get()};
    }
    std::vector<Reader*> Readers() const { return {stringReader.Get(), bufferedReader.Get()}; }
};

TEST(ByteStreamArguments, NegativeLengthOrNullBufferIsRejectedBeforeAnyByteMoves) {
    ByteStreams streams;
    char buffer[4] = {};
    for (Writer* writer : streams.Writers()) {
        EXPECT_THROW(writer->Write("abc", -1), InvalidArgumentException);
        EXPECT_THROW(writer->Write(nullptr, 3), InvalidArgumentException);
        EXPECT_NO_THROW(writer->Write(nullptr, 0));
    }
    for (Reader* reader : streams.Readers()) {
        EXPECT_THROW(reader->Read(buffer, -5), InvalidArgumentException);
        EXPECT_THROW(reader->Read(nullptr, 2), InvalidArgumentException);
        // Nothing was consumed by the refused calls.
        EXPECT_EQ(Drain(*reader, 2), "abc");
    }
    EXPECT_EQ(streams.stringWriter->GetLength(), 0);
    EXPECT_EQ(streams.writeRead->GetLength(), 0);
}

// ---------------------------------------------------------------------------------------------
// StringWriter

TEST(StringWriter, ToStringReturnsEverythingWrittenIncludingZeroBytes) {
    Ref<StringWriter> writer;
    CreateStringWriter(writer);
    WriteText(*writer, "Hello");
    writer->Write("\0x", 2);
    WriteText(*writer, "");
    EXPECT_EQ(writer->ToString(), std::string("Hello\0x", 7));
    EXPECT_EQ(writer->GetLength(), 7);

    writer->Reset();
    EXPECT_EQ(writer->ToString(), "");
    EXPECT_EQ(writer->GetLength(), 0);
    WriteText(*writer, "again");
    EXPECT_EQ(writer->ToString(), "again");
}

// ---------------------------------------------------------------------------------------------
// StringReader

TEST(StringReader, DeliversAtMostTheRestThenEndsAlsoWhenEmptyOrClosed) {
    Ref<StringReader> reader;
    CreateStringReader("", reader);
    char buffer[16];
    EXPECT_EQ(reader->Read(buffer, 1), -1);
    EXPECT_EQ(reader->Read(buffer, 0), -1);

    reader->SetString("abcdefg");
    EXPECT_EQ(reader->Read(buffer, 0), 0);
    ASSERT_EQ(reader->Read(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    ASSERT_EQ(reader->Read(buffer, 16), 4);
    EXPECT_EQ(std::string(buffer, 4), "defg");
    EXPECT_EQ(reader->Read(buffer, 16), -1);

    // SetString rewinds, also in the middle of a text.
    reader->SetString("first");
    ASSERT_EQ(reader->Read(buffer, 3), 3);
    reader->SetString("xy");
    EXPECT_EQ(Drain(*reader, 1), "xy");

    reader->SetString("text");
    reader->Close();
    EXPECT_EQ(reader->Read(buffer, 1), -1);
}

// ---------------------------------------------------------------------------------------------
// BufferedReader, over sources that deliver in different pieces and buffers of different sizes.

struct BufferShape {
    int32_t bufferSize;
    int32_t sourcePiece;
    bool stutter;
};

void PrintTo(const BufferShape& shape, std::ostream* out) {
    *out << "buffer " << shape.bufferSize << ", source pieces " << shape.sourcePiece
         << (shape.stutter ? ", stuttering" : "");
}

class BufferedReaderTest : public ::testing::TestWithParam<BufferShape> {
protected:
    Ref<BufferedReader> Over(const std::string& text) {
        _source = new ScriptedReader(text, GetParam().sourcePiece, GetParam().stutter);
        Ref<BufferedReader> reader;
        CreateBufferedReader(_source, GetParam().bufferSize, reader);
        return reader;
    }

    std::vector<std::string> LinesOf(const std::string& text) {
        Ref<BufferedReader> reader = Over(text);
        std::vector<std::string> lines;
        std::string line = "stale";
        while (reader->ReadLine(line)) {
            lines.push_back(line);
        }
        EXPECT_EQ(line, "");
        EXPECT_FALSE(reader->ReadLine(line));
        return lines;
    }

    Ref<ScriptedReader> _source;
};

using Lines = std::vector<std::string>;

TEST_P(BufferedReaderTest, EveryTerminatorEndsOneLine) {
    EXPECT_EQ(LinesOf("a\r\nb"), (Lines{"a", "b"}));
    EXPECT_EQ(LinesOf("a\rb"), (Lines{"a", "b"}));
    EXPECT_EQ(LinesOf("a\nb\n"), (Lines{"a", "b"}));
    EXPECT_EQ(LinesOf("\n"), (Lines{""}));
    EXPECT_EQ(LinesOf(""), (Lines{}));
    // A line feed before a carriage return is two terminators; CR LF is one.
    EXPECT_EQ(LinesOf("x\n\ry\r\r\nz\r"), (Lines{"x", "", "y", "", "z"}));
    EXPECT_EQ(LinesOf("long line without end"), (Lines{"long line without end"}));
}

TEST_P(BufferedReaderTest, ReadWaitsForTheFullLengthUntilTheSourceEnds) {
    Ref<BufferedReader> reader = Over("0123456789");
    char buffer[16];
    ASSERT_EQ(reader->Read(buffer, 7), 7);
    EXPECT_EQ(std::string(buffer, 7), "0123456");
    EXPECT_EQ(reader->Read(buffer, 0), 0);
    ASSERT_EQ(reader->Read(buffer, 16), 3);
    EXPECT_EQ(std::string(buffer, 3), "789");
    EXPECT_EQ(reader->Read(buffer, 16), -1);
    EXPECT_EQ(reader->Read(buffer, 0), -1);
}

TEST_P(BufferedReaderTest, ReadAndReadLineShareTheBuffer) {
    Ref<BufferedReader> reader = Over("head\r\nbody\nrest");
    std::string line;
    ASSERT_TRUE(reader->ReadLine(line));
    EXPECT_EQ(line, "head");
    char buffer[3];
    ASSERT_EQ(reader->Read(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "bod");
    ASSERT_TRUE(reader->ReadLine(line));
    EXPECT_EQ(line, "y");
    ASSERT_TRUE(reader->ReadLine(line));
    EXPECT_EQ(line, "rest");
    EXPECT_FALSE(reader->ReadLine(line));
}

INSTANTIATE_TEST_SUITE_P(SourceShapes, BufferedReaderTest,
                         ::testing::Values(BufferShape{1, 100, false}, BufferShape{2, 100, false},
                                           BufferShape{3, 1, true}, BufferShape{1024, 5, true},
                                           BufferShape{0, 100, false}));

TEST(BufferedReader, SizeBelowOneMeansAKilobyteBuffer) {
    for (int32_t size : {0, -7}) {
        Ref<ScriptedReader> source(new ScriptedReader(std::string(3000, 'q'), 5000, false));
        Ref<BufferedReader> reader;
        CreateBufferedReader(source, size, reader);
        char c;
        ASSERT_EQ(reader->Read(&c, 1), 1);
        EXPECT_EQ(source->largestRequest, 1024);
    }
}

TEST(BufferedReader, CloseClosesTheSourceAndLaterReadsFail) {
    Ref<ScriptedReader> source(new ScriptedReader("one\ntwo\n", 100, false));
    Ref<BufferedReader> reader;
    CreateBufferedReader(source, 16, reader);
    std::string line;
    ASSERT_TRUE(reader->ReadLine(line));
    reader->Close();
    EXPECT_TRUE(source->closed);
    // The reader no longer holds its source.
    EXPECT_EQ(source->GetRefCount(), 1);
    char c;
    EXPECT_THROW(reader->Read(&c, 1), InvalidStateException);
    EXPECT_THROW(reader->ReadLine(line), InvalidStateException);
    EXPECT_NO_THROW(reader->Close());

    Ref<BufferedReader> none;
    EXPECT_THROW(CreateBufferedReader(nullptr, 10, none), InvalidArgumentException);
}

// ---------------------------------------------------------------------------------------------
// RingBufferWriter

constexpr char kMarker[] = "**********";  // followed by its zero byte: 11 bytes

class RingBufferWriterTest : public ::testing::Test {
protected:
    void SetUp() override { CreateRingBufferWriter(16, _writer); }

    // The newest data ends at GetCurrent and is followed by the marker.
    void ExpectEndsWithMarker() {
        EXPECT_EQ(std::memcmp(_writer->GetCurrent(), kMarker, sizeof(kMarker)), 0);
    }
    std::string Front(size_t n) const { return std::string(_writer->GetBuffer(), n); }
    ptrdiff_t Position() const { return _writer->GetCurrent() - _writer->GetBuffer(); }

    Ref<RingBufferWriter> _writer;
};

TEST_F(RingBufferWriterTest, WritesFollowEachOtherWithTheMarkerBehind) {
    WriteText(*_writer, "ab");
    WriteText(*_writer, "cde");
    EXPECT_EQ(Front(5), "abcde");
    EXPECT_EQ(Position(), 5);
    ExpectEndsWithMarker();

    _writer->Reset();
    EXPECT_EQ(Position(), 0);
    WriteText(*_writer, "X");
    EXPECT_EQ(Front(3), "X**");
    ExpectEndsWithMarker();
}

TEST_F(RingBufferWriterTest, WriteOfExactlyTheCapacityFitsOneMoreByteThrows) {
    WriteText(*_writer, std::string(16, 'z'));
    EXPECT_EQ(Position(), 16);
    ExpectEndsWithMarker();
    EXPECT_THROW(WriteText(*_writer, std::string(17, 'y')), NotSupportedException);
    // The refused write changed nothing.
    EXPECT_EQ(Position(), 16);
    EXPECT_EQ(Front(16), std::string(16, 'z'));
}

TEST_F(RingBufferWriterTest, WriteThatDoesNotFitStartsAtTheFrontUnsplit) {
    WriteText(*_writer, "0123456789");
    WriteText(*_writer, "abcdefgh");
    EXPECT_EQ(Position(), 8);
    EXPECT_EQ(Front(8), "abcdefgh");
    ExpectEndsWithMarker();
}

TEST_F(RingBufferWriterTest, TailOfTheEarlierRoundStaysBehindTheMarker) {
    WriteText(*_writer, "0123456789ABCDEF");
    WriteText(*_writer, "ab");
    EXPECT_EQ(Position(), 2);
    ExpectEndsWithMarker();
    EXPECT_EQ(std::string(_writer->GetBuffer() + 13, 3), "DEF");
}

TEST(RingBufferWriter, CapacityOutOfRangeIsRejected) {
    Ref<RingBufferWriter> writer;
    EXPECT_THROW(CreateRingBufferWriter(-1, writer), InvalidArgumentException);
    // Capacity plus the marker would not fit in 32 bits.
    EXPECT_THROW(CreateRingBufferWriter(0x7fffffff, writer), InvalidArgumentException);
    EXPECT_THROW(CreateRingBufferWriter(0x7fffffff - 10, writer), InvalidArgumentException);
    EXPECT_FALSE(writer);
}

// ---------------------------------------------------------------------------------------------
// DoubleWriter and NullWriter

TEST(DoubleWriter, WritesAndFlushesBothInOrder) {
    Ref<RecordingWriter> first(new RecordingWriter());
    Ref<RecordingWriter> second(new RecordingWriter());
    Ref<Writer> both;
    CreateDoubleWriter(first, second, both);
    WriteText(*both, "abc");
    both->Flush();
    EXPECT_EQ(first->text, "abc");
    EXPECT_EQ(second->text, "abc");
    EXPECT_EQ(first->flushes, 1);
    EXPECT_EQ(second->flushes, 1);
}

TEST(DoubleWriter, FailingFirstWriterStillFeedsTheSecondAndItsErrorIsPassedOn) {
    Ref<RecordingWriter> first(new RecordingWriter("fail"));
    Ref<RecordingWriter> second(new RecordingWriter());
    Ref<Writer> both;
    CreateDoubleWriter(first, second, both);
    EXPECT_THROW(WriteText(*both, "abc"), IOException);
    EXPECT_EQ(second->text, "abc");
    EXPECT_THROW(both->Flush(), InvalidStateException);
    EXPECT_EQ(second->flushes, 1);
}

TEST(DoubleWriter, WhenBothFailTheFirstErrorWinsAndSecondAloneIsPassedOn) {
    Ref<Writer> first(new RecordingWriter("fail"));
    Ref<Writer> failing(new RecordingWriter("fail"));
    Ref<Writer> null;
    CreateNullWriter(null);
    Ref<Writer> both;
    CreateDoubleWriter(first, failing, both);
    EXPECT_THROW(WriteText(*both, "x"), IOException);

    Ref<Writer> secondOnly;
    CreateDoubleWriter(null, failing, secondOnly);
    EXPECT_THROW(secondOnly->Flush(), InvalidStateException);

    EXPECT_THROW(CreateDoubleWriter(nullptr, null, both), InvalidArgumentException);
    EXPECT_THROW(CreateDoubleWriter(null, nullptr, both), InvalidArgumentException);
}

// ---------------------------------------------------------------------------------------------
// WriteReadBuffer

TEST(WriteReadBuffer, ExactlyOneChunkReadsBackAndEnds) {
    Ref<WriteReadBuffer> buffer;
    CreateWriteReadBuffer(buffer);
    std::string data(1024, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7);
    }
    WriteText(*buffer, data);
    EXPECT_EQ(buffer->GetLength(), 1024);
    std::vector<char> out(2048);
    ASSERT_EQ(buffer->Read(out.data(), 2048), 1024);
    EXPECT_EQ(std::string(out.data(), 1024), data);
    EXPECT_EQ(buffer->Read(out.data(), 2048), -1);
}

TEST(WriteReadBuffer, ManyChunksRoundTripInUnalignedPieces) {
    Ref<WriteReadBuffer> buffer;
    CreateWriteReadBuffer(buffer);
    std::string data;
    for (int i = 0; i < 5000; ++i) {
        data += static_cast<char>('a' + i % 26);
    }
    for (size_t at = 0; at < data.size(); at += 7) {
        buffer->Write(data.data() + at,
                      static_cast<int32_t>(std::min<size_t>(7, data.size() - at)));
    }
    EXPECT_EQ(buffer->GetLength(), 5000);
    EXPECT_EQ(Drain(*buffer, 333), data);
    EXPECT_EQ(buffer->GetLength(), 5000);
}

TEST(WriteReadBuffer, WritingAfterTheFirstReadIsRefused) {
    Ref<WriteReadBuffer> buffer;
    CreateWriteReadBuffer(buffer);
    char c;
    EXPECT_EQ(buffer->Read(&c, 1), -1);
    EXPECT_THROW(WriteText(*buffer, "late"), InvalidStateException);
    EXPECT_THROW(buffer->Write(nullptr, 0), InvalidStateException);
    EXPECT_EQ(buffer->GetLength(), 0);
}

}  // namespace
}  // namespace Tarvos
