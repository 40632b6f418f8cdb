// Files to objects: the response header, and the deflated response cut into
// payloads that each inflate on their own.
#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <memory>

#include "tools/broadcast_lib.h"

namespace {

struct ContentType {
    const char* extension;
    const char* type;
};

const ContentType kContentTypes[] = {
    {"gif", "image/gif"},          {"html", "text/html"},
    {"jpg", "image/jpeg"},         {"xml", "text/xml"},
    {"txt", "text/txt"},           {"bin", "application/octet-stream"},
    {"css", "text/css"},           {"png", "image/png"},
    {"ico", "image/x-icon"},       {"js", "application/x-javascript"},
    {"json", "application/json"},  {"swf", "application/x-shockwave-flash"},
    {"bmp", "image/bmp"},          {"wmv", "video/x-ms-wmv"},
    {"avi", "video/x-msvideo"},    {"rar", "application/x-rar-compressed"},
    {"zip", "application/zip"},    {"exe", "application/x-msdownload"},
    {"wma", "audio/x-ms-wma"},     {"flv", "video/x-flv"},
    {"pdf", "application/pdf"},    {"cab", "application/x-cab-compressed"},
    {"mp3", "audio/mpeg"},         {"djv", "image/vnd.djvu"},
    {"doc", "application/msword"}, {"au", "audio/basic"},
    {"mov", "video/quicktime"},
};

// A deflate stream that never moves: zlib's state points back at it.
struct Deflater {
    z_stream stream{};
    bool live = false;
    Deflater() = default;
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    ~Deflater() {
        if (live) deflateEnd(&stream);
    }
};
using DeflaterPtr = std::unique_ptr<Deflater>;

DeflaterPtr newDeflater() {
    auto deflater = std::make_unique<Deflater>();
    if (deflateInit(&deflater->stream, Z_DEFAULT_COMPRESSION) != Z_OK) throw BroadcastError("zlib: deflateInit failed");
    deflater->live = true;
    return deflater;
}

DeflaterPtr copyDeflater(Deflater& from) {
    auto deflater = std::make_unique<Deflater>();
    if (deflateCopy(&deflater->stream, &from.stream) != Z_OK) throw BroadcastError("zlib: deflateCopy failed");
    deflater->live = true;
    return deflater;
}

// Deflates `count` bytes and ends them with a full flush: the output ends on
// a byte boundary and nothing after it refers back to anything before it.
Bytes flushChunk(Deflater& deflater, const uint8_t* data, size_t count) {
    z_stream& s = deflater.stream;
    s.next_in = data;
    s.avail_in = uInt(count);
    Bytes out;
    uint8_t buffer[16384];
    do {
        s.next_out = buffer;
        s.avail_out = sizeof buffer;
        int result = deflate(&s, Z_FULL_FLUSH);
        if (result != Z_OK && result != Z_BUF_ERROR) throw BroadcastError("zlib: deflate failed");
        out.insert(out.end(), buffer, buffer + (sizeof buffer - s.avail_out));
    } while (s.avail_out == 0 || s.avail_in > 0);
    return out;
}

// One candidate payload: the stream after it, the input it took, its bytes.
struct Piece {
    DeflaterPtr after;
    size_t taken = 0;
    Bytes output;
};

Piece tryChunk(Deflater& from, const uint8_t* data, size_t count) {
    Piece piece;
    piece.after = copyDeflater(from);
    piece.taken = count;
    piece.output = flushChunk(*piece.after, data, count);
    return piece;
}

// A fit this close to the room is as good as the best one.
constexpr size_t kCloseEnough = 4;
constexpr int kMaxTrials = 12;

size_t clampSize(double value, size_t low, size_t high) {
    if (value <= double(low)) return low;
    if (value >= double(high)) return high;
    return size_t(value);
}

// The next input size to try, given the best fit so far (if any) and the
// smallest input known to overflow (most + 1 when none is known yet). From
// one side only, it steps by the missing or excess output at that point's
// input-per-output ratio; between the two, it interpolates.
size_t nextGuess(const Piece& fit, size_t missAt, size_t missOutput, size_t least, size_t most, size_t room) {
    if (!fit.after) {
        double excess = double(missOutput - room) * double(missAt) / double(missOutput);
        return clampSize(double(missAt) - excess - 1, least, missAt - 1);
    }
    double fitOutput = double(std::max<size_t>(fit.output.size(), 1));
    if (missAt > most) {
        double lacking = (double(room) - fitOutput) * double(fit.taken) / fitOutput;
        return clampSize(double(fit.taken) + lacking, fit.taken + 1, most);
    }
    double share = (double(room) - fitOutput) / (double(missOutput) - fitOutput);
    return clampSize(double(fit.taken) + share * double(missAt - fit.taken), fit.taken + 1, missAt - 1);
}

// The largest input (between `least` and `most` bytes) whose flushed output
// fits `room`, found by trials on copies of the stream. Output grows with
// input only roughly, so this interpolates between the best fit and the
// smallest overflow seen and settles for a fit close to the room. Returns a
// piece without a stream when not even `least` bytes fit.
Piece largestFit(Deflater& from, const uint8_t* data, size_t least, size_t most, size_t room, double ratio) {
    Piece fit;
    size_t missAt = most + 1;
    size_t missOutput = 0;
    size_t guess = clampSize(double(room) * ratio * 0.98, least, most);
    for (int trial = 1;; ++trial) {
        Piece piece = tryChunk(from, data, guess);
        if (piece.output.size() <= room) {
            fit = std::move(piece);
        } else {
            missAt = guess;
            missOutput = piece.output.size();
        }
        if (!fit.after && missAt == least) return fit;
        if (fit.after && (fit.output.size() + kCloseEnough >= room || fit.taken == most || missAt - fit.taken <= 1 ||
                          trial >= kMaxTrials))
            return fit;
        guess = nextGuess(fit, missAt, missOutput, least, most, room);
    }
}

std::string lowercase(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string contentTypeFor(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) {
        std::string extension = lowercase(name.substr(dot + 1));
        for (const ContentType& known : kContentTypes)
            if (extension == known.extension) return known.type;
    }
    return "application/octet-stream";
}

std::string buildResponseHeader(const ObjectToSend& object) {
    const HeaderOptions& options = object.header;
    std::string header = options.version + " " + options.status + "\r\n";
    if (options.contentType)
        header += "Content-Type: " + options.contentTypeText.value_or(contentTypeFor(object.name)) + "\r\n";
    if (options.contentLength) header += "Content-Length: " + std::to_string(object.content.size()) + "\r\n";
    if (options.disposition) header += "Content-Disposition: attachment; filename=\"" + object.name + "\"\r\n";
    return header + "\r\n";
}

std::vector<Bytes> encodeObject(const ObjectToSend& object, const EncodeOptions& options) {
    if (object.content.empty() && !options.allowEmpty)
        throw BroadcastError(object.name +
                             ": empty file; the receiver drops objects of length 0 (--allow-empty sends it anyway)");
    std::string header = buildResponseHeader(object);
    if (header.size() > kMaxResponseHeader)
        throw BroadcastError(object.name + ": response header of " + std::to_string(header.size()) +
                             " bytes; the receiver reads at most " + std::to_string(kMaxResponseHeader));
    Bytes response(header.begin(), header.end());
    response.insert(response.end(), object.content.begin(), object.content.end());

    DeflaterPtr stream = newDeflater();
    std::vector<Bytes> payloads;
    double ratio = 1.0;  // input per output byte of the last payload: the next one's first guess
    for (size_t done = 0; done < response.size();) {
        // The receiver reads the header from the first payload alone.
        size_t least = payloads.empty() ? header.size() : 1;
        size_t most = std::min(response.size() - done, options.maxInflated);
        Piece piece = largestFit(*stream, response.data() + done, least, most, options.maxPayload, ratio);
        if (!piece.after) throw BroadcastError(object.name + ": the response header does not fit in one datagram");
        ratio = double(piece.taken) / double(piece.output.size());
        done += piece.taken;
        stream = std::move(piece.after);
        payloads.push_back(std::move(piece.output));
    }
    return payloads;
}

ObjectToSend loadObject(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) throw BroadcastError(path.string() + ": no such file");
    if (!std::filesystem::is_regular_file(path, error)) throw BroadcastError(path.string() + ": not a regular file");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw BroadcastError(path.string() + ": cannot open");
    ObjectToSend object;
    object.name = path.filename().string();
    object.content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) throw BroadcastError(path.string() + ": read error");
    return object;
}

void writeBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) throw BroadcastError(path.string() + ": cannot write");
}
