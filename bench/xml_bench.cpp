// Stream parser throughput against expat and libxml2's push parser.
//
// All three build the same element tree (XmlTag) from the same generated
// client stream, fed in 1024-byte chunks as a connection delivers it, and
// take turns pass by pass so that machine noise hits all alike.
//
//   xml_bench                       full comparison, ratios on the last lines
//   xml_bench --instructions NAME   one pass of NAME between callgrind markers
//   xml_bench --instructions flood  ours on room messages only, each adopted
//                                   into a reused Stanza as the client does
#include <expat.h>
#include <libxml/parser.h>
#include <malloc.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "StreamGenerator.h"
#include "stanza/Stanza.h"
#include "xml/XmlParser.h"

using namespace tern;

// ---- heap accounting (only while g_counting is set) -------------------------

namespace {
bool g_counting = false;
std::size_t g_live = 0;
std::size_t g_peak = 0;
}  // namespace

void* operator new(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    if (g_counting) {
        g_live += malloc_usable_size(p);
        g_peak = std::max(g_peak, g_live);
    }
    return p;
}
namespace {
void release(void* p) noexcept {
    if (p && g_counting) g_live -= std::min(g_live, malloc_usable_size(p));
    std::free(p);
}
}  // namespace
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }

namespace {

constexpr std::size_t kChunk = 1024;

// What every parser does with a delivered top-level element.
struct Sink {
    std::size_t elements = 0;
    std::size_t checksum = 0;
    std::size_t liveAtDeliverySum = 0;
    std::size_t liveAtDeliveryMax = 0;
    std::uint64_t serialHash = 1469598103934665603ull;
    bool hashSerialised = false;

    void deliver(const XmlTag& e) {
        ++elements;
        checksum += e.name().size() + e.children().size();
        if (g_counting) {
            liveAtDeliverySum += g_live;
            liveAtDeliveryMax = std::max(liveAtDeliveryMax, g_live);
        }
        if (hashSerialised) {
            for (unsigned char c : e.serialize()) serialHash = (serialHash ^ c) * 1099511628211ull;
        }
    }
};

// ---- this library's parser ---------------------------------------------------

struct OurHandler : XmlTagHandler {
    Sink* sink;
    explicit OurHandler(Sink* s) : sink(s) {}
    void handleXmlTag(XmlTag* element) override { sink->deliver(*element); }
};

void parseOurs(const std::string& stream, Sink& sink) {
    OurHandler h(&sink);
    XmlParser parser(&h);
    for (std::size_t off = 0; off < stream.size(); off += kChunk)
        if (!parser.feed(std::string_view(stream).substr(off, kChunk))) std::abort();
}

// The receive path's shape: every element handed to one recycled Stanza.
struct AdoptingHandler : XmlTagHandler {
    Sink* sink;
    std::unique_ptr<Stanza> spare;
    explicit AdoptingHandler(Sink* s) : sink(s) {}
    void handleXmlTag(XmlTag* element) override {
        std::unique_ptr<Stanza> stanza(Stanza::adopt(*element, spare));
        sink->deliver(*stanza);
        stanza->recycle();
        spare = std::move(stanza);
    }
};

void parseFlood(const std::string& stream, Sink& sink) {
    AdoptingHandler h(&sink);
    XmlParser parser(&h);
    for (std::size_t off = 0; off < stream.size(); off += kChunk)
        if (!parser.feed(std::string_view(stream).substr(off, kChunk))) std::abort();
}

std::string floodStream(std::size_t minBytes) {
    bench::Rng rng(7);
    std::string out = bench::streamHeader();
    for (int id = 1; out.size() < minBytes; ++id) bench::appendGroupchat(out, rng, id);
    return out;
}

// ---- tree building shared by the two baselines --------------------------------

struct TreeBuilder {
    explicit TreeBuilder(Sink* s) : sink(s) {}
    Sink* sink;
    XmlTag* root = nullptr;
    XmlTag* current = nullptr;
    int depth = 0;
    std::string text;
    bool textOpen = false;  // collecting text before the current element's first child

    void start(const char* name, const char** attrs) {
        flushText();
        ++depth;
        if (depth == 1) {  // the stream header, delivered at once like ours
            XmlTag header(name);
            for (const char** a = attrs; a && *a; a += 2) header.attributes().emplace_back(a[0], a[1]);
            sink->deliver(header);
            return;
        }
        XmlTag* e = depth == 2 ? new XmlTag(name) : new XmlTag(current, name);
        for (const char** a = attrs; a && *a; a += 2) e->attributes().emplace_back(a[0], a[1]);
        if (depth == 2) root = e;
        current = e;
        textOpen = true;
    }
    void chars(const char* s, int len) {
        if (textOpen) text.append(s, static_cast<std::size_t>(len));
    }
    void end() {
        flushText();
        --depth;
        if (depth == 1) {
            sink->deliver(*root);
            delete root;
            root = current = nullptr;
        } else if (depth > 1) {
            current = current->parent();
        }
    }
    void flushText() {
        if (textOpen && current) {
            current->setText(text);
            text.clear();
        }
        textOpen = false;
    }
};

void parseExpat(const std::string& stream, Sink& sink) {
    TreeBuilder b(&sink);
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetUserData(p, &b);
    XML_SetElementHandler(
        p,
        [](void* ud, const XML_Char* name, const XML_Char** attrs) {
            static_cast<TreeBuilder*>(ud)->start(name, attrs);
        },
        [](void* ud, const XML_Char*) { static_cast<TreeBuilder*>(ud)->end(); });
    XML_SetCharacterDataHandler(p, [](void* ud, const XML_Char* s, int len) {
        static_cast<TreeBuilder*>(ud)->chars(s, len);
    });
    for (std::size_t off = 0; off < stream.size(); off += kChunk) {
        const std::size_t n = std::min(kChunk, stream.size() - off);
        if (XML_Parse(p, stream.data() + off, static_cast<int>(n), 0) == XML_STATUS_ERROR) std::abort();
    }
    XML_ParserFree(p);
    delete b.root;
}

void parseLibxml2(const std::string& stream, Sink& sink) {
    TreeBuilder b(&sink);
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    xmlSAXVersion(&sax, 1);  // SAX1: qualified names and plain attribute pairs
    sax.startElement = [](void* ud, const xmlChar* name, const xmlChar** attrs) {
        static_cast<TreeBuilder*>(ud)->start(reinterpret_cast<const char*>(name),
                                             reinterpret_cast<const char**>(attrs));
    };
    sax.endElement = [](void* ud, const xmlChar*) { static_cast<TreeBuilder*>(ud)->end(); };
    sax.characters = [](void* ud, const xmlChar* s, int len) {
        static_cast<TreeBuilder*>(ud)->chars(reinterpret_cast<const char*>(s), len);
    };
    sax.ignorableWhitespace = sax.characters;
    sax.cdataBlock = sax.characters;
    // The remaining defaults take the parser's context as their user data,
    // which here is the tree builder: none of them may run.
    sax.internalSubset = nullptr;
    sax.externalSubset = nullptr;
    sax.isStandalone = nullptr;
    sax.hasInternalSubset = nullptr;
    sax.hasExternalSubset = nullptr;
    sax.resolveEntity = nullptr;
    sax.getEntity = nullptr;
    sax.getParameterEntity = nullptr;
    sax.entityDecl = nullptr;
    sax.attributeDecl = nullptr;
    sax.elementDecl = nullptr;
    sax.notationDecl = nullptr;
    sax.unparsedEntityDecl = nullptr;
    sax.setDocumentLocator = nullptr;
    sax.startDocument = nullptr;
    sax.endDocument = nullptr;
    sax.reference = nullptr;
    sax.processingInstruction = nullptr;
    sax.comment = nullptr;
    sax.warning = nullptr;
    sax.error = nullptr;
    xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(&sax, &b, nullptr, 0, nullptr);
    xmlCtxtUseOptions(ctxt, XML_PARSE_HUGE | XML_PARSE_NONET);
    for (std::size_t off = 0; off < stream.size(); off += kChunk) {
        const std::size_t n = std::min(kChunk, stream.size() - off);
        if (xmlParseChunk(ctxt, stream.data() + off, static_cast<int>(n), 0) != 0) std::abort();
    }
    xmlFreeParserCtxt(ctxt);
    delete b.root;
}

struct Contender {
    const char* name;
    std::function<void(const std::string&, Sink&)> run;
    std::vector<double> seconds;
    Sink verify;
    Sink memory;
    std::size_t peakHeap = 0;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string stream = bench::generateClientStream(10 * 1024 * 1024 + 512 * 1024);
    std::vector<Contender> all = {{"parley", parseOurs, {}, {}, {}, 0},
                                  {"expat", parseExpat, {}, {}, {}, 0},
                                  {"libxml2", parseLibxml2, {}, {}, {}, 0}};

    if (argc == 3 && std::strcmp(argv[1], "--instructions") == 0 && std::strcmp(argv[2], "flood") == 0) {
        const std::string flood = floodStream(2 * 1024 * 1024);
        Sink sink;
        CALLGRIND_TOGGLE_COLLECT;
        parseFlood(flood, sink);
        CALLGRIND_TOGGLE_COLLECT;
        std::printf("%zu bytes %zu elements\n", flood.size(), sink.elements);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--instructions") == 0) {
        for (Contender& c : all) {
            if (std::strcmp(c.name, argv[2]) != 0) continue;
            Sink sink;
            CALLGRIND_TOGGLE_COLLECT;
            c.run(stream, sink);
            CALLGRIND_TOGGLE_COLLECT;
            std::printf("%zu bytes %zu elements\n", stream.size(), sink.elements);
            return 0;
        }
        std::fprintf(stderr, "unknown parser %s\n", argv[2]);
        return 2;
    }

    // The three must agree on what they deliver, element by element.
    for (Contender& c : all) {
        c.verify.hashSerialised = true;
        c.run(stream, c.verify);
    }
    for (const Contender& c : all) {
        if (c.verify.elements != all[0].verify.elements || c.verify.serialHash != all[0].verify.serialHash) {
            std::fprintf(stderr, "%s delivered a different tree (%zu elements)\n", c.name, c.verify.elements);
            return 1;
        }
    }

    const int rounds = 9;
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < all.size(); ++k) {
            Contender& c = all[(k + static_cast<std::size_t>(r)) % all.size()];
            Sink sink;
            const auto t0 = std::chrono::steady_clock::now();
            c.run(stream, sink);
            const auto t1 = std::chrono::steady_clock::now();
            c.seconds.push_back(std::chrono::duration<double>(t1 - t0).count());
        }
    }

    for (Contender& c : all) {
        g_live = g_peak = 0;
        g_counting = true;
        c.run(stream, c.memory);
        g_counting = false;
        c.peakHeap = g_peak;
    }

    const double mb = static_cast<double>(stream.size()) / 1e6;
    std::printf("stream: %.2f MB, %zu top-level elements, fed in %zu-byte chunks, %d passes each\n", mb,
                all[0].verify.elements, kChunk, rounds);
    for (const Contender& c : all) {
        std::printf("%-8s %8.1f MB/s  (median of %d; best %.1f MB/s)\n", c.name, mb / median(c.seconds),
                    rounds, mb / *std::min_element(c.seconds.begin(), c.seconds.end()));
    }
    for (const Contender& c : all) {
        std::printf("%-8s heap at delivery: mean %.0f bytes, max %zu bytes per element; peak while parsing %zu bytes\n",
                    c.name, static_cast<double>(c.memory.liveAtDeliverySum) / static_cast<double>(c.memory.elements),
                    c.memory.liveAtDeliveryMax, c.peakHeap);
    }
    const double ours = median(all[0].seconds);
    std::printf("parser_vs_libxml2: %.2f\n", median(all[2].seconds) / ours);
    std::printf("parser_vs_expat: %.2f\n", median(all[1].seconds) / ours);
    return 0;
}
