#include "host/platform/linux/x11_event_sink.hpp"

#include <X11/XF86keysym.h>
#include <X11/XKBlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/dpms.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#include "core/base/atomic_file.hpp"
#include "core/base/log.hpp"
#include "core/input/keycode_table.hpp"

namespace tarvel::platform {

namespace {

using injection::EventFlags::alternate;
using injection::EventFlags::command;
using injection::EventFlags::control;
using injection::EventFlags::shift;
using injection::MouseEventType;

// Indexed like the wire modifier bits: shift, control, option, command.
constexpr std::array<std::uint64_t, 4> flagBits{shift, control, alternate, command};
constexpr std::array<KeySym, 4> modifierKeysyms{XK_Shift_L, XK_Control_L, XK_Alt_L, XK_Super_L};
constexpr int shiftFlag = 0;

// Legacy keysyms of the alphabets (Latin 2-4 and 9, Kana, Arabic, Cyrillic,
// Greek, Hebrew, Thai, the euro sign) as (keysym << 16) | code point, sorted,
// from keysymdef.h. Layouts name their letters with these, not with the
// Unicode keysyms that typed text is looked up by.
constexpr std::uint32_t legacyKeysyms[] = {
    0x01A10104, 0x01A202D8, 0x01A30141, 0x01A5013D, 0x01A6015A, 0x01A90160, 0x01AA015E, 0x01AB0164,
    0x01AC0179, 0x01AE017D, 0x01AF017B, 0x01B10105, 0x01B202DB, 0x01B30142, 0x01B5013E, 0x01B6015B,
    0x01B702C7, 0x01B90161, 0x01BA015F, 0x01BB0165, 0x01BC017A, 0x01BD02DD, 0x01BE017E, 0x01BF017C,
    0x01C00154, 0x01C30102, 0x01C50139, 0x01C60106, 0x01C8010C, 0x01CA0118, 0x01CC011A, 0x01CF010E,
    0x01D00110, 0x01D10143, 0x01D20147, 0x01D50150, 0x01D80158, 0x01D9016E, 0x01DB0170, 0x01DE0162,
    0x01E00155, 0x01E30103, 0x01E5013A, 0x01E60107, 0x01E8010D, 0x01EA0119, 0x01EC011B, 0x01EF010F,
    0x01F00111, 0x01F10144, 0x01F20148, 0x01F50151, 0x01F80159, 0x01F9016F, 0x01FB0171, 0x01FE0163,
    0x01FF02D9, 0x02A10126, 0x02A60124, 0x02A90130, 0x02AB011E, 0x02AC0134, 0x02B10127, 0x02B60125,
    0x02B90131, 0x02BB011F, 0x02BC0135, 0x02C5010A, 0x02C60108, 0x02D50120, 0x02D8011C, 0x02DD016C,
    0x02DE015C, 0x02E5010B, 0x02E60109, 0x02F50121, 0x02F8011D, 0x02FD016D, 0x02FE015D, 0x03A20138,
    0x03A30156, 0x03A50128, 0x03A6013B, 0x03AA0112, 0x03AB0122, 0x03AC0166, 0x03B30157, 0x03B50129,
    0x03B6013C, 0x03BA0113, 0x03BB0123, 0x03BC0167, 0x03BD014A, 0x03BF014B, 0x03C00100, 0x03C7012E,
    0x03CC0116, 0x03CF012A, 0x03D10145, 0x03D2014C, 0x03D30136, 0x03D90172, 0x03DD0168, 0x03DE016A,
    0x03E00101, 0x03E7012F, 0x03EC0117, 0x03EF012B, 0x03F10146, 0x03F2014D, 0x03F30137, 0x03F90173,
    0x03FD0169, 0x03FE016B, 0x047E203E, 0x04A13002, 0x04A2300C, 0x04A3300D, 0x04A43001, 0x04A530FB,
    0x04A630F2, 0x04A730A1, 0x04A830A3, 0x04A930A5, 0x04AA30A7, 0x04AB30A9, 0x04AC30E3, 0x04AD30E5,
    0x04AE30E7, 0x04AF30C3, 0x04B030FC, 0x04B130A2, 0x04B230A4, 0x04B330A6, 0x04B430A8, 0x04B530AA,
    0x04B630AB, 0x04B730AD, 0x04B830AF, 0x04B930B1, 0x04BA30B3, 0x04BB30B5, 0x04BC30B7, 0x04BD30B9,
    0x04BE30BB, 0x04BF30BD, 0x04C030BF, 0x04C130C1, 0x04C230C4, 0x04C330C6, 0x04C430C8, 0x04C530CA,
    0x04C630CB, 0x04C730CC, 0x04C830CD, 0x04C930CE, 0x04CA30CF, 0x04CB30D2, 0x04CC30D5, 0x04CD30D8,
    0x04CE30DB, 0x04CF30DE, 0x04D030DF, 0x04D130E0, 0x04D230E1, 0x04D330E2, 0x04D430E4, 0x04D530E6,
    0x04D630E8, 0x04D730E9, 0x04D830EA, 0x04D930EB, 0x04DA30EC, 0x04DB30ED, 0x04DC30EF, 0x04DD30F3,
    0x04DE309B, 0x04DF309C, 0x05AC060C, 0x05BB061B, 0x05BF061F, 0x05C10621, 0x05C20622, 0x05C30623,
    0x05C40624, 0x05C50625, 0x05C60626, 0x05C70627, 0x05C80628, 0x05C90629, 0x05CA062A, 0x05CB062B,
    0x05CC062C, 0x05CD062D, 0x05CE062E, 0x05CF062F, 0x05D00630, 0x05D10631, 0x05D20632, 0x05D30633,
    0x05D40634, 0x05D50635, 0x05D60636, 0x05D70637, 0x05D80638, 0x05D90639, 0x05DA063A, 0x05E00640,
    0x05E10641, 0x05E20642, 0x05E30643, 0x05E40644, 0x05E50645, 0x05E60646, 0x05E70647, 0x05E80648,
    0x05E90649, 0x05EA064A, 0x05EB064B, 0x05EC064C, 0x05ED064D, 0x05EE064E, 0x05EF064F, 0x05F00650,
    0x05F10651, 0x05F20652, 0x06A10452, 0x06A20453, 0x06A30451, 0x06A40454, 0x06A50455, 0x06A60456,
    0x06A70457, 0x06A80458, 0x06A90459, 0x06AA045A, 0x06AB045B, 0x06AC045C, 0x06AD0491, 0x06AE045E,
    0x06AF045F, 0x06B02116, 0x06B10402, 0x06B20403, 0x06B30401, 0x06B40404, 0x06B50405, 0x06B60406,
    0x06B70407, 0x06B80408, 0x06B90409, 0x06BA040A, 0x06BB040B, 0x06BC040C, 0x06BD0490, 0x06BE040E,
    0x06BF040F, 0x06C0044E, 0x06C10430, 0x06C20431, 0x06C30446, 0x06C40434, 0x06C50435, 0x06C60444,
    0x06C70433, 0x06C80445, 0x06C90438, 0x06CA0439, 0x06CB043A, 0x06CC043B, 0x06CD043C, 0x06CE043D,
    0x06CF043E, 0x06D0043F, 0x06D1044F, 0x06D20440, 0x06D30441, 0x06D40442, 0x06D50443, 0x06D60436,
    0x06D70432, 0x06D8044C, 0x06D9044B, 0x06DA0437, 0x06DB0448, 0x06DC044D, 0x06DD0449, 0x06DE0447,
    0x06DF044A, 0x06E0042E, 0x06E10410, 0x06E20411, 0x06E30426, 0x06E40414, 0x06E50415, 0x06E60424,
    0x06E70413, 0x06E80425, 0x06E90418, 0x06EA0419, 0x06EB041A, 0x06EC041B, 0x06ED041C, 0x06EE041D,
    0x06EF041E, 0x06F0041F, 0x06F1042F, 0x06F20420, 0x06F30421, 0x06F40422, 0x06F50423, 0x06F60416,
    0x06F70412, 0x06F8042C, 0x06F9042B, 0x06FA0417, 0x06FB0428, 0x06FC042D, 0x06FD0429, 0x06FE0427,
    0x06FF042A, 0x07A10386, 0x07A20388, 0x07A30389, 0x07A4038A, 0x07A503AA, 0x07A7038C, 0x07A8038E,
    0x07A903AB, 0x07AB038F, 0x07AE0385, 0x07AF2015, 0x07B103AC, 0x07B203AD, 0x07B303AE, 0x07B403AF,
    0x07B503CA, 0x07B60390, 0x07B703CC, 0x07B803CD, 0x07B903CB, 0x07BA03B0, 0x07BB03CE, 0x07C10391,
    0x07C20392, 0x07C30393, 0x07C40394, 0x07C50395, 0x07C60396, 0x07C70397, 0x07C80398, 0x07C90399,
    0x07CA039A, 0x07CB039B, 0x07CC039C, 0x07CD039D, 0x07CE039E, 0x07CF039F, 0x07D003A0, 0x07D103A1,
    0x07D203A3, 0x07D403A4, 0x07D503A5, 0x07D603A6, 0x07D703A7, 0x07D803A8, 0x07D903A9, 0x07E103B1,
    0x07E203B2, 0x07E303B3, 0x07E403B4, 0x07E503B5, 0x07E603B6, 0x07E703B7, 0x07E803B8, 0x07E903B9,
    0x07EA03BA, 0x07EB03BB, 0x07EC03BC, 0x07ED03BD, 0x07EE03BE, 0x07EF03BF, 0x07F003C0, 0x07F103C1,
    0x07F203C3, 0x07F303C2, 0x07F403C4, 0x07F503C5, 0x07F603C6, 0x07F703C7, 0x07F803C8, 0x07F903C9,
    0x0CDF2017, 0x0CE005D0, 0x0CE105D1, 0x0CE205D2, 0x0CE305D3, 0x0CE405D4, 0x0CE505D5, 0x0CE605D6,
    0x0CE705D7, 0x0CE805D8, 0x0CE905D9, 0x0CEA05DA, 0x0CEB05DB, 0x0CEC05DC, 0x0CED05DD, 0x0CEE05DE,
    0x0CEF05DF, 0x0CF005E0, 0x0CF105E1, 0x0CF205E2, 0x0CF305E3, 0x0CF405E4, 0x0CF505E5, 0x0CF605E6,
    0x0CF705E7, 0x0CF805E8, 0x0CF905E9, 0x0CFA05EA, 0x0DA10E01, 0x0DA20E02, 0x0DA30E03, 0x0DA40E04,
    0x0DA50E05, 0x0DA60E06, 0x0DA70E07, 0x0DA80E08, 0x0DA90E09, 0x0DAA0E0A, 0x0DAB0E0B, 0x0DAC0E0C,
    0x0DAD0E0D, 0x0DAE0E0E, 0x0DAF0E0F, 0x0DB00E10, 0x0DB10E11, 0x0DB20E12, 0x0DB30E13, 0x0DB40E14,
    0x0DB50E15, 0x0DB60E16, 0x0DB70E17, 0x0DB80E18, 0x0DB90E19, 0x0DBA0E1A, 0x0DBB0E1B, 0x0DBC0E1C,
    0x0DBD0E1D, 0x0DBE0E1E, 0x0DBF0E1F, 0x0DC00E20, 0x0DC10E21, 0x0DC20E22, 0x0DC30E23, 0x0DC40E24,
    0x0DC50E25, 0x0DC60E26, 0x0DC70E27, 0x0DC80E28, 0x0DC90E29, 0x0DCA0E2A, 0x0DCB0E2B, 0x0DCC0E2C,
    0x0DCD0E2D, 0x0DCE0E2E, 0x0DCF0E2F, 0x0DD00E30, 0x0DD10E31, 0x0DD20E32, 0x0DD30E33, 0x0DD40E34,
    0x0DD50E35, 0x0DD60E36, 0x0DD70E37, 0x0DD80E38, 0x0DD90E39, 0x0DDA0E3A, 0x0DDF0E3F, 0x0DE00E40,
    0x0DE10E41, 0x0DE20E42, 0x0DE30E43, 0x0DE40E44, 0x0DE50E45, 0x0DE60E46, 0x0DE70E47, 0x0DE80E48,
    0x0DE90E49, 0x0DEA0E4A, 0x0DEB0E4B, 0x0DEC0E4C, 0x0DED0E4D, 0x0DF00E50, 0x0DF10E51, 0x0DF20E52,
    0x0DF30E53, 0x0DF40E54, 0x0DF50E55, 0x0DF60E56, 0x0DF70E57, 0x0DF80E58, 0x0DF90E59, 0x13BC0152,
    0x13BD0153, 0x13BE0178, 0x20AC20AC,
};

std::optional<char32_t> legacyCodePoint(KeySym keysym) {
    if (keysym > 0xFFFF) {
        return std::nullopt;
    }
    const auto key = static_cast<std::uint32_t>(keysym) << 16;
    const auto* found = std::lower_bound(std::begin(legacyKeysyms), std::end(legacyKeysyms), key);
    if (found == std::end(legacyKeysyms) || (*found >> 16) != keysym) {
        return std::nullopt;
    }
    return static_cast<char32_t>(*found & 0xFFFF);
}

/// The keysym X names a character by: Latin-1 as itself, the rest in the
/// Unicode keysym range.
KeySym keysymForCodePoint(char32_t cp) {
    if ((cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFF)) {
        return cp;
    }
    return 0x01000000 | cp;
}

/// One name per character, so a layout's legacy or Unicode keysym and the
/// keysym of typed text meet in one index.
KeySym canonicalKeysym(KeySym keysym) {
    if (keysym >= 0x01000100 && keysym <= 0x0110FFFF) {
        return keysymForCodePoint(static_cast<char32_t>(keysym - 0x01000000));
    }
    if (const auto cp = legacyCodePoint(keysym)) {
        return keysymForCodePoint(*cp);
    }
    return keysym;
}

KeySym mediaKeysym(std::uint32_t keyType) {
    switch (keyType) {
        case 0:
            return XF86XK_AudioRaiseVolume;
        case 1:
            return XF86XK_AudioLowerVolume;
        case 2:
            return XF86XK_MonBrightnessUp;
        case 3:
            return XF86XK_MonBrightnessDown;
        case 7:
            return XF86XK_AudioMute;
        case 16:
            return XF86XK_AudioPlay;
        case 17:
            return XF86XK_AudioNext;
        case 18:
            return XF86XK_AudioPrev;
        default:
            return NoSymbol;
    }
}

/// X coordinates are 16-bit on the wire.
int pixel(double value) {
    return static_cast<int>(std::clamp(std::floor(value), -32768.0, 32767.0));
}

struct XkbDescDeleter {
    void operator()(XkbDescPtr desc) const { XkbFreeKeyboard(desc, 0, True); }
};

struct MonitorsDeleter {
    void operator()(XRRMonitorInfo* monitors) const { XRRFreeMonitors(monitors); }
};


/// Slots for the records of sinks running at once on one server: the tray
/// application, the daemon, a test. Fixed names, because the server never
/// frees an atom.
constexpr int recordSlots = 8;
constexpr unsigned char recordVersion = 2;
constexpr std::size_t recordBitmaps = 6;  // version, buttons, process id
/// After the three bitmaps: the keysym of each spare, in keycode order.
constexpr std::size_t recordKeysyms = recordBitmaps + 3 * 32;

/// A sink's record as read back from the server.
struct Record {
    std::bitset<256> pressed;
    std::bitset<256> repeatOff;
    std::bitset<256> spares;
    std::array<KeySym, 256> spareKeysyms{};
    std::uint8_t buttons = 0;
};

void storeBits(const std::bitset<256>& bits, unsigned char* out) {
    for (std::size_t code = 0; code < bits.size(); ++code) {
        out[code / 8] = static_cast<unsigned char>(out[code / 8] | (bits[code] << (code % 8)));
    }
}

std::bitset<256> loadBits(const unsigned char* in) {
    std::bitset<256> bits;
    for (std::size_t code = 0; code < bits.size(); ++code) {
        bits[code] = ((in[code / 8] >> (code % 8)) & 1) != 0;
    }
    return bits;
}

std::optional<Record> readRecord(Display* d, Atom slot, Atom type) {
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    // In 32-bit units: room for a keysym on every keycode.
    constexpr long longest = (recordKeysyms + 4 * 256 + 3) / 4;
    if (XGetWindowProperty(d, DefaultRootWindow(d), slot, 0, longest, False, type, &actualType,
                           &format, &count, &after, &data) != Success) {
        return std::nullopt;
    }
    const std::unique_ptr<unsigned char, int (*)(void*)> owned(data, XFree);
    // Another version's layout is not guessed at: it is dropped.
    if (actualType != type || format != 8 || count < recordKeysyms || data[0] != recordVersion) {
        return std::nullopt;
    }
    Record record;
    record.buttons = data[1];
    record.pressed = loadBits(data + recordBitmaps);
    record.repeatOff = loadBits(data + recordBitmaps + 32);
    record.spares = loadBits(data + recordBitmaps + 64);
    if (count != recordKeysyms + 4 * record.spares.count()) {
        return std::nullopt;
    }
    const unsigned char* keysym = data + recordKeysyms;
    for (std::size_t code = 0; code < record.spares.size(); ++code) {
        if (record.spares[code]) {
            record.spareKeysyms[code] = static_cast<KeySym>(
                std::uint32_t{keysym[0]} | std::uint32_t{keysym[1]} << 8 |
                std::uint32_t{keysym[2]} << 16 | std::uint32_t{keysym[3]} << 24);
            keysym += 4;
        }
    }
    return record;
}

/// Keys and buttons down on the XTEST devices of the core pointer and keyboard,
/// where XTEST's core requests land: the user's own devices are not looked at.
std::pair<std::bitset<256>, std::uint8_t> xtestDown(Display* d) {
    std::bitset<256> keys;
    std::uint8_t buttons = 0;
    int opcode = 0;
    int event = 0;
    int error = 0;
    if (!XQueryExtension(d, "XInputExtension", &opcode, &event, &error)) {
        return {keys, buttons};
    }
    int count = 0;
    XDeviceInfo* devices = XListInputDevices(d, &count);
    const std::unique_ptr<XDeviceInfo, int (*)(XDeviceInfo*)> owned(
        devices, [](XDeviceInfo* list) { return XFreeDeviceList(list), 0; });
    for (int i = 0; devices != nullptr && i < count; ++i) {
        const std::string_view name = devices[i].name != nullptr ? devices[i].name : "";
        if (name != "Virtual core XTEST keyboard" && name != "Virtual core XTEST pointer") {
            continue;
        }
        XDevice* device = XOpenDevice(d, devices[i].id);
        if (device == nullptr) {
            continue;
        }
        if (XDeviceState* state = XQueryDeviceState(d, device)) {
            auto* item = reinterpret_cast<unsigned char*>(state->data);
            for (int c = 0; c < state->num_classes; ++c) {
                auto* any = reinterpret_cast<XInputClass*>(item);
                if (any->c_class == KeyClass) {
                    const auto* key = reinterpret_cast<XKeyState*>(any);
                    keys |= loadBits(reinterpret_cast<const unsigned char*>(key->keys));
                } else if (any->c_class == ButtonClass) {
                    const auto* button = reinterpret_cast<XButtonState*>(any);
                    for (unsigned b = 1; b <= 7; ++b) {
                        if ((button->buttons[b / 8] >> (b % 8)) & 1) {
                            buttons = static_cast<std::uint8_t>(buttons | (1U << (b - 1)));
                        }
                    }
                }
                item += any->length;
            }
            XFreeDeviceState(state);
        }
        XCloseDevice(d, device);
    }
    return {keys, buttons};
}

/// Whether a keycode still carries what a sink mapped it to (`keysym` on every
/// level of one group), not a key a layout loaded since gave it: most XF86 and
/// function keys look like a borrowed spare, but rarely with the same keysym.
bool stillBorrowed(XkbDescPtr xkb, KeyCode code, KeySym keysym) {
    if (keysym == NoSymbol || code < xkb->min_key_code || code > xkb->max_key_code ||
        XkbKeyNumGroups(xkb, code) != 1) {
        return false;
    }
    const KeySym* syms = XkbKeySymsPtr(xkb, code);
    const int count = XkbKeyNumSyms(xkb, code);
    return count > 0 && std::all_of(syms, syms + count, [&](KeySym s) { return s == keysym; });
}

std::string counted(std::size_t n, std::string_view what) {
    return std::to_string(n) + " " + std::string(what) + (n == 1 ? "" : "s");
}

}  // namespace

struct X11EventSink::Keymap {
    std::unique_ptr<XkbDescRec, XkbDescDeleter> xkb;
};

tl::expected<std::shared_ptr<X11EventSink>, std::string> X11EventSink::open(
    std::string_view displayName, std::filesystem::path legacyRepeatStateFile) {
    auto connection = X11Connection::open(displayName, "input");
    if (!connection) {
        return tl::unexpected(connection.error());
    }
    Display* d = (*connection)->display();
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(d, &eventBase, &errorBase, &major, &minor)) {
        return tl::unexpected(std::string("the X server has no XTEST extension"));
    }
    int opcode = 0;
    int xkbEventBase = 0;
    major = XkbMajorVersion;
    minor = XkbMinorVersion;
    if (!XkbQueryExtension(d, &opcode, &xkbEventBase, &errorBase, &major, &minor)) {
        return tl::unexpected(std::string("the X server has no XKEYBOARD extension"));
    }
    constexpr unsigned keymapEvents = XkbMapNotifyMask | XkbNewKeyboardNotifyMask;
    XkbSelectEvents(d, XkbUseCoreKbd, keymapEvents, keymapEvents);
    // A client holding a server grab (a window manager dragging a window)
    // must not stall the inject queue.
    XTestGrabControl(d, True);

    bool randrMonitors = false;
    if (XRRQueryExtension(d, &eventBase, &errorBase) && XRRQueryVersion(d, &major, &minor)) {
        randrMonitors = major > 1 || (major == 1 && minor >= 5);
    }
    const bool dpms = DPMSQueryExtension(d, &eventBase, &errorBase) && DPMSCapable(d);

    std::shared_ptr<X11EventSink> sink(
        new X11EventSink(std::move(*connection), xkbEventBase, randrMonitors, dpms));
    // Before the keymap is read: a spare a crashed run left mapped would look
    // like a key of the layout.
    sink->recoverAndClaimSlot();
    sink->rebuildKeymap();
    sink->honourRepeatStateFile(legacyRepeatStateFile);
    XSync(d, False);
    if (sink->lost() || !sink->keymap_) {
        return tl::unexpected(std::string("cannot read the keyboard mapping of the X server"));
    }
    return sink;
}

X11EventSink::X11EventSink(std::unique_ptr<X11Connection> connection, int xkbEventBase,
                           bool randrMonitors, bool dpms)
    : connection_(std::move(connection)),
      xkbEventBase_(xkbEventBase),
      randrMonitors_(randrMonitors),
      dpms_(dpms) {
    heldModifier_.fill(-1);
    record_.reserve(recordKeysyms + 4 * 256);  // no allocation on the key path
}

X11EventSink::~X11EventSink() {
    spareRestore_.cancel();
    if (lost()) {
        // The keys and the record went with the server.
        return;
    }
    Display* d = display();
    for (unsigned button = 1; button <= 3; ++button) {
        if ((buttonsDown_ & (1U << (button - 1))) != 0) {
            XTestFakeButtonEvent(d, button, False, CurrentTime);
        }
    }
    std::bitset<256> modifiers;
    for (std::size_t code = 0; code < heldModifier_.size(); ++code) {
        modifiers[code] = heldAsKey_[code] && heldModifier_[code] >= 0;
    }
    for (KeyCode code : flagKeyDown_) {
        if (code != 0) {
            modifiers.set(code);
        }
    }
    // Ordinary keys before modifiers, so nothing is released as a shortcut.
    for (bool modifierPass : {false, true}) {
        for (std::size_t code = 0; code < down_.size(); ++code) {
            if (down_[code] && modifiers[code] == modifierPass) {
                releaseKey(static_cast<KeyCode>(code));
            }
        }
    }
    restoreSpares();
    if (slot_ != 0) {
        // Nothing left to undo; the selection goes with the connection.
        XDeleteProperty(d, DefaultRootWindow(d), slot_);
    }
    XSync(d, False);
}

void X11EventSink::setQueue(const std::shared_ptr<base::SerialQueue>& queue) {
    queue_ = queue;
}

// Keymap.

void X11EventSink::drainEvents() {
    Display* d = display();
    while (!lost() && XEventsQueued(d, QueuedAfterReading) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type == xkbEventBase_) {
            XkbEvent xkb{};
            std::memcpy(&xkb, &event, sizeof event);
            if (xkb.any.xkb_type == XkbNewKeyboardNotify) {
                keymapDirty_ = true;
            } else if (xkb.any.xkb_type == XkbMapNotify) {
                const XkbMapNotifyEvent& map = xkb.map;
                // Autorepeat and action changes leave the keysyms alone; a
                // spare keycode remapped here changes just that keycode.
                const bool own = (map.changed & XkbKeyTypesMask) == 0 &&
                                 map.num_key_syms == 1 && spare_[map.first_key_sym];
                if ((map.changed & (XkbKeyTypesMask | XkbKeySymsMask)) != 0 && !own) {
                    keymapDirty_ = true;
                }
            }
        } else if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            const XMappingEvent& mapping = event.xmapping;
            if (mapping.request == MappingKeyboard &&
                !(mapping.count == 1 && spare_[static_cast<std::size_t>(mapping.first_keycode)])) {
                keymapDirty_ = true;
            }
        }
    }
}

void X11EventSink::refreshKeymap() {
    drainEvents();
    if (keymapDirty_) {
        rebuildKeymap();
    }
}

void X11EventSink::rebuildKeymap() {
    keymapDirty_ = false;
    XkbDescPtr xkb = XkbGetMap(display(), XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
    if (xkb == nullptr) {
        return;
    }
    auto keymap = std::make_unique<Keymap>();
    keymap->xkb.reset(xkb);
    slots_.clear();
    hasSymbols_.reset();
    spare_.reset();
    spares_.clear();
    for (int k = xkb->min_key_code; k <= xkb->max_key_code; ++k) {
        const auto code = static_cast<KeyCode>(k);
        const KeySym* syms = XkbKeySymsPtr(xkb, code);
        bool any = false;
        bool onlyRemapped = true;
        for (int i = 0; i < XkbKeyNumSyms(xkb, code); ++i) {
            if (syms[i] != NoSymbol) {
                any = true;
                onlyRemapped = onlyRemapped && syms[i] == remapped_[code];
            }
        }
        if (remapped_[code] != 0 && !(any && onlyRemapped)) {
            remapped_[code] = 0;  // the new keymap took the keycode back
        }
        if (!any || remapped_[code] != 0) {
            spare_.set(code);
            spares_.push_back(code);
            continue;
        }
        hasSymbols_.set(code);
        const int levels = std::min(2, static_cast<int>(XkbKeyGroupWidth(xkb, code, 0)));
        for (int level = 0; level < levels; ++level) {
            const KeySym keysym = XkbKeySymEntry(xkb, code, level, 0);
            if (keysym == NoSymbol) {
                continue;
            }
            const KeySlot slot{code, static_cast<std::uint8_t>(level),
                               XkbKeyNumGroups(xkb, code) == 1};
            auto [entry, inserted] = slots_.try_emplace(canonicalKeysym(keysym), slot);
            if (!inserted && entry->second.level > slot.level) {
                entry->second = slot;  // a plain key beats a shifted one
            }
        }
    }
    keymap_ = std::move(keymap);
    for (std::size_t f = 0; f < modifierKeys_.size(); ++f) {
        const auto slot = slotFor(modifierKeysyms[f]);
        modifierKeys_[f] = slot && slot->level == 0 ? slot->code : 0;
    }
    if (nextSpare_ >= spares_.size()) {
        nextSpare_ = 0;
    }
}

std::optional<X11EventSink::KeySlot> X11EventSink::slotFor(KeySym keysym) const {
    const auto found = slots_.find(keysym);
    if (found == slots_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<bool> X11EventSink::shiftToReach(const KeySlot& slot, unsigned mods,
                                               unsigned group) const {
    if (group != 0 && !slot.onlyGroup) {
        return std::nullopt;
    }
    const XkbKeyTypePtr type = XkbKeyKeyType(keymap_->xkb.get(), slot.code, 0);
    const auto levelWith = [type](unsigned withMods) {
        const unsigned relevant = withMods & type->mods.mask;
        for (int i = 0; i < type->map_count; ++i) {
            const XkbKTMapEntryRec& entry = type->map[i];
            if (entry.active && entry.mods.mask == relevant) {
                return static_cast<unsigned>(entry.level);
            }
        }
        return 0U;
    };
    if (levelWith(mods) == slot.level) {
        return false;
    }
    if (modifierKeys_[shiftFlag] != 0 && levelWith(mods | ShiftMask) == slot.level) {
        return true;
    }
    return std::nullopt;
}

std::pair<KeyCode, bool> X11EventSink::spareFor(KeySym keysym, bool mayRemap) {
    for (KeyCode code : spares_) {
        if (remapped_[code] == keysym) {
            return {code, false};
        }
    }
    if (!mayRemap) {
        return {0, false};
    }
    // Round robin, so a receiver has many remaps' time to read a keycode's
    // mapping before that keycode changes again.
    for (std::size_t tried = 0; tried < spares_.size(); ++tried) {
        const KeyCode code = spares_[nextSpare_];
        nextSpare_ = (nextSpare_ + 1) % spares_.size();
        if (down_[code]) {
            continue;
        }
        // Round robin makes this the keycode remapped longest ago; a receiver
        // decodes with the mapping current when it reads the event, so one
        // still behind on its last use must not see it change yet.
        const auto since = std::chrono::steady_clock::now() - remappedAt_[code];
        if (since < spareReuseInterval) {
            std::this_thread::sleep_for(spareReuseInterval - since);
        }
        // The same keysym on both levels, so Shift or Caps Lock cannot change it.
        std::array<KeySym, 2> syms{keysym, keysym};
        // Recorded first: a crash right after the remap must still find it.
        remapped_[code] = keysym;
        publish();
        XChangeKeyboardMapping(display(), code, static_cast<int>(syms.size()), syms.data(), 1);
        XSync(display(), False);
        remappedAt_[code] = std::chrono::steady_clock::now();
        return {code, true};
    }
    return {0, false};
}

void X11EventSink::scheduleSpareRestore() {
    if (auto queue = queue_.lock()) {
        spareRestore_ = queue->schedule(spareRestoreDelay, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->restoreSpares();
            }
        });
    }
}

void X11EventSink::restoreSpares() {
    if (lost()) {
        return;
    }
    // A layout loaded since may have given a spare keycode a key of its own.
    refreshKeymap();
    bool busy = false;
    bool restored = false;
    std::array<KeySym, 2> none{NoSymbol, NoSymbol};
    for (KeyCode code : spares_) {
        if (remapped_[code] == 0) {
            continue;
        }
        if (down_[code]) {
            busy = true;
            continue;
        }
        XChangeKeyboardMapping(display(), code, static_cast<int>(none.size()), none.data(), 1);
        remapped_[code] = 0;
        restored = true;
    }
    if (restored) {
        publish();
    }
    XFlush(display());
    if (busy) {
        scheduleSpareRestore();
    }
}

// Keys held.

void X11EventSink::pressKey(KeyCode code) {
    if (down_[code]) {
        return;
    }
    // One record for both, written before the press.
    const bool fresh = !everPressed_[code];
    everPressed_.set(code);
    if (!turnRepeatOff(code) && fresh) {
        publish();
    }
    XTestFakeKeyEvent(display(), code, True, CurrentTime);
    down_.set(code);
}

void X11EventSink::releaseKey(KeyCode code) {
    if (!down_[code]) {
        return;
    }
    XTestFakeKeyEvent(display(), code, False, CurrentTime);
    down_.reset(code);
    restoreRepeat(code);
}

void X11EventSink::reconcileFlags(std::uint64_t flags, int exceptModifier) {
    for (int f = 0; f < static_cast<int>(flagBits.size()); ++f) {
        if (f == exceptModifier) {
            continue;
        }
        const auto index = static_cast<std::size_t>(f);
        if ((flags & flagBits[index]) != 0) {
            const KeyCode code = modifierKeys_[index];
            // A modifier the user holds as a key already gives the flag.
            if (flagKeyDown_[index] == 0 && modifierKeysHeld_[index] == 0 && code != 0 &&
                !down_[code]) {
                pressKey(code);
                flagKeyDown_[index] = code;
            }
        } else if (flagKeyDown_[index] != 0) {
            const KeyCode code = flagKeyDown_[index];
            flagKeyDown_[index] = 0;
            if (!heldAsKey_[code]) {
                releaseKey(code);
            }
        }
    }
}

// Modifiers pressed for a chord's flags would otherwise stay down until the
// next event, turning the user's own scrolling and typing into shortcuts.
void X11EventSink::releaseFlagsWhenIdle() {
    if (buttonsDown_ != 0) {
        return;
    }
    for (std::size_t code = 0; code < heldAsKey_.size(); ++code) {
        if (heldAsKey_[code] && heldModifier_[code] < 0) {
            return;
        }
    }
    reconcileFlags(0, -1);
}

void X11EventSink::tap(KeyCode code, bool withShift) {
    Display* d = display();
    // A crash between a tap's press and release can leave either down.
    noteKey(code);
    if (withShift) {
        noteKey(modifierKeys_[shiftFlag]);
        XTestFakeKeyEvent(d, modifierKeys_[shiftFlag], True, CurrentTime);
    }
    XTestFakeKeyEvent(d, code, True, CurrentTime);
    XTestFakeKeyEvent(d, code, False, CurrentTime);
    if (withShift) {
        XTestFakeKeyEvent(d, modifierKeys_[shiftFlag], False, CurrentTime);
    }
}

bool X11EventSink::typeKeysym(KeySym keysym, unsigned mods, unsigned group) {
    if (const auto slot = slotFor(keysym)) {
        if (const auto withShift = shiftToReach(*slot, mods, group)) {
            tap(slot->code, *withShift);
            return false;
        }
    }
    const auto [code, remapped] = spareFor(keysym, true);
    if (code == 0) {
        return false;
    }
    tap(code, false);
    if (remapped) {
        XSync(display(), False);
        std::this_thread::sleep_for(spareRemapPause);
    }
    return true;
}

// Autorepeat.

bool X11EventSink::turnRepeatOff(KeyCode code) {
    const auto now = std::chrono::steady_clock::now();
    if (!repeatMapTime_ || now - *repeatMapTime_ >= repeatMapLifetime) {
        XKeyboardState state;
        XGetKeyboardControl(display(), &state);
        std::copy(std::begin(state.auto_repeats), std::end(state.auto_repeats), repeatMap_.begin());
        repeatMapTime_ = now;
        // Keys this sink holds read as off; they are ours to turn back on.
        for (std::size_t held = 0; held < repeatOff_.size(); ++held) {
            if (repeatOff_[held]) {
                repeatMap_[held / 8] = static_cast<char>(repeatMap_[held / 8] | (1 << (held % 8)));
            }
        }
    }
    char& bits = repeatMap_[code / 8];
    const auto bit = static_cast<char>(1 << (code % 8));
    if ((bits & bit) == 0 || repeatOff_[code]) {
        return false;
    }
    // Recorded first: a crash right after the change must still find it.
    const bool recorded = !repeatRecorded_[code];
    if (recorded) {
        repeatRecorded_.set(code);
        publish();
    }
    XKeyboardControl change{};
    change.key = code;
    change.auto_repeat_mode = AutoRepeatModeOff;
    XChangeKeyboardControl(display(), KBKey | KBAutoRepeatMode, &change);
    repeatOff_.set(code);
    return recorded;
}

void X11EventSink::restoreRepeat(KeyCode code) {
    if (!repeatOff_[code]) {
        return;
    }
    XKeyboardControl change{};
    change.key = code;
    change.auto_repeat_mode = AutoRepeatModeOn;
    XChangeKeyboardControl(display(), KBKey | KBAutoRepeatMode, &change);
    repeatOff_.reset(code);
}

void X11EventSink::honourRepeatStateFile(const std::filesystem::path& file) {
    if (file.empty()) {
        return;
    }
    const auto content = base::readWholeFile(file);
    if (!content) {
        base::logLine("cannot read " + file.string() + ": " + content.error().message());
        return;
    }
    if (!*content) {
        return;
    }
    const std::string_view text(reinterpret_cast<const char*>((*content)->data()),
                                (*content)->size());
    std::string restored;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        unsigned code = 0;
        const auto* first = text.data() + at;
        const auto* last = text.data() + end;
        if (auto [next, error] = std::from_chars(first, last, code);
            error == std::errc{} && next == last && code >= 8 && code <= 255) {
            XKeyboardControl change{};
            change.key = static_cast<int>(code);
            change.auto_repeat_mode = AutoRepeatModeOn;
            XChangeKeyboardControl(display(), KBKey | KBAutoRepeatMode, &change);
            restored += " " + std::to_string(code);
        }
        at = end + 1;
    }
    if (!restored.empty()) {
        base::logLine("turned autorepeat back on for keycodes an earlier run left off:" +
                      restored);
    }
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
}

// Crash recovery.

void X11EventSink::recoverAndClaimSlot() {
    Display* d = display();
    const Window root = DefaultRootWindow(d);
    recordType_ = XInternAtom(d, "_TARVEL_INPUT_RECORD", False);
    std::array<std::string, recordSlots> names;
    std::array<char*, recordSlots> namePointers{};
    std::array<Atom, recordSlots> slots{};
    for (int i = 0; i < recordSlots; ++i) {
        names[i] = "_TARVEL_INPUT_" + std::to_string(i);
        namePointers[i] = names[i].data();
    }
    XInternAtoms(d, namePointers.data(), recordSlots, False, slots.data());
    // Owns this sink's slot; the server destroys it, and so ends the
    // ownership, when the connection closes for whatever reason.
    XSetWindowAttributes attributes{};
    const Window owner = XCreateWindow(d, root, -1, -1, 1, 1, 0, CopyFromParent, InputOnly,
                                       CopyFromParent, 0, &attributes);

    // No other client runs between reading an owner and claiming a slot, nor
    // between reading a record and undoing it: two sinks starting at once
    // neither share a slot nor undo one record twice.
    XGrabServer(d);
    Record dead;
    Record live;
    std::size_t deadRecords = 0;
    Atom claimed = 0;
    for (Atom slot : slots) {
        const bool owned = XGetSelectionOwner(d, slot) != 0;
        const auto record = readRecord(d, slot, recordType_);
        if (!record) {
            // Nothing to undo; an unowned slot is free.
        } else if (owned) {
            live.pressed |= record->pressed;
            live.repeatOff |= record->repeatOff;
            live.spares |= record->spares;
            live.buttons = static_cast<std::uint8_t>(live.buttons | record->buttons);
        } else {
            ++deadRecords;
            dead.pressed |= record->pressed;
            dead.repeatOff |= record->repeatOff;
            for (std::size_t code = 0; code < record->spares.size(); ++code) {
                if (!record->spares[code]) {
                    continue;
                }
                KeySym& keysym = dead.spareKeysyms[code];
                // Two crashed sinks mapped it differently: which came last is
                // unknown, so the keycode stays as it is.
                keysym = dead.spares[code] && keysym != record->spareKeysyms[code]
                             ? NoSymbol
                             : record->spareKeysyms[code];
                dead.spares.set(code);
            }
            dead.buttons = static_cast<std::uint8_t>(dead.buttons | record->buttons);
        }
        if (owned) {
            continue;
        }
        XDeleteProperty(d, root, slot);
        if (claimed == 0) {
            claimed = slot;
        }
    }

    std::size_t keys = 0;
    std::size_t buttons = 0;
    std::size_t repeats = 0;
    std::size_t spares = 0;
    std::size_t kept = 0;
    if (deadRecords > 0) {
        const auto [keysDown, buttonsDown] = xtestDown(d);
        // Only keys a crashed sink pressed that are still down: the user's
        // keyboard is another device. One XTEST device serves every sink, so
        // a key a live sink has pressed may be its own, held now, and stays.
        const std::bitset<256> release = keysDown & dead.pressed & ~live.pressed;
        kept = (keysDown & dead.pressed & live.pressed).count();
        // The crashed sink turned autorepeat off only while it held the key,
        // and only where the user had it on; a live sink that turned it off
        // turns it back on itself.
        XKeyboardState keyboard{};
        XGetKeyboardControl(d, &keyboard);
        const std::bitset<256> repeatOn =
            release & dead.repeatOff & ~live.repeatOff &
            ~loadBits(reinterpret_cast<const unsigned char*>(keyboard.auto_repeats));
        for (std::size_t code = 0; code < repeatOn.size(); ++code) {
            if (repeatOn[code]) {
                XKeyboardControl change{};
                change.key = static_cast<int>(code);
                change.auto_repeat_mode = AutoRepeatModeOn;
                XChangeKeyboardControl(d, KBKey | KBAutoRepeatMode, &change);
                ++repeats;
            }
        }
        std::bitset<256> modifiers;
        if (XModifierKeymap* map = XGetModifierMapping(d)) {
            for (int i = 0; i < 8 * map->max_keypermod; ++i) {
                modifiers.set(map->modifiermap[i]);
            }
            XFreeModifiermap(map);
        }
        // Ordinary keys before modifiers, so nothing is released as a shortcut.
        for (bool modifierPass : {false, true}) {
            for (std::size_t code = 8; code < release.size(); ++code) {
                if (release[code] && modifiers[code] == modifierPass) {
                    XTestFakeKeyEvent(d, static_cast<unsigned>(code), False, CurrentTime);
                    ++keys;
                }
            }
        }
        for (unsigned button = 1; button <= 7; ++button) {
            const auto bit = 1U << (button - 1);
            if ((buttonsDown & dead.buttons & bit) == 0) {
                continue;
            }
            if ((live.buttons & bit) != 0) {
                ++kept;
                continue;
            }
            XTestFakeButtonEvent(d, button, False, CurrentTime);
            ++buttons;
        }
        // A spare a live sink has mapped now is that sink's to restore.
        const std::bitset<256> borrowed = dead.spares & ~live.spares;
        if (borrowed.any()) {
            std::unique_ptr<XkbDescRec, XkbDescDeleter> xkb(
                XkbGetMap(d, XkbKeySymsMask, XkbUseCoreKbd));
            std::array<KeySym, 2> none{NoSymbol, NoSymbol};
            for (std::size_t code = 0; xkb && code < borrowed.size(); ++code) {
                if (borrowed[code] && stillBorrowed(xkb.get(), static_cast<KeyCode>(code),
                                                    dead.spareKeysyms[code])) {
                    XChangeKeyboardMapping(d, static_cast<int>(code), 2, none.data(), 1);
                    ++spares;
                }
            }
        }
    }
    if (claimed != 0) {
        XSetSelectionOwner(d, claimed, owner, CurrentTime);
        slot_ = claimed;
        publish();
    }
    XUngrabServer(d);
    XSync(d, False);

    if (claimed == 0) {
        base::logLine("every slot for the input record on the X server is taken: a crash of this "
                      "process would leave what it holds held");
    }
    if (keys + buttons + repeats + spares > 0) {
        std::string done;
        const auto add = [&done](std::size_t n, const std::string& what) {
            if (n > 0) {
                done += (done.empty() ? "" : ", ") + what;
            }
        };
        add(keys, "released " + counted(keys, "key"));
        add(buttons, "released " + counted(buttons, "button"));
        add(repeats, "restored autorepeat of " + counted(repeats, "key"));
        add(spares, "restored " + counted(spares, "spare keycode"));
        base::logLine(done + " left by a previous run");
    }
    if (kept > 0) {
        // Nothing tells a live sink's held key from one a crash left down.
        base::logLine("kept " + std::to_string(kept) +
                      (kept == 1 ? " key or button" : " keys or buttons") +
                      " a previous run left down, as a running Tarvel has pressed them too");
    }
}

void X11EventSink::publish() {
    if (slot_ == 0) {
        return;
    }
    std::bitset<256> mapped;
    for (std::size_t code = 0; code < remapped_.size(); ++code) {
        mapped[code] = remapped_[code] != 0;
    }
    record_.assign(recordKeysyms + 4 * mapped.count(), 0);
    record_[0] = recordVersion;
    record_[1] = everButtons_;
    // The process id only helps a person reading the property (xprop -root).
    const auto pid = static_cast<std::uint32_t>(::getpid());
    for (std::size_t i = 0; i < 4; ++i) {
        record_[2 + i] = static_cast<unsigned char>(pid >> (8 * i));
    }
    storeBits(everPressed_, record_.data() + recordBitmaps);
    storeBits(repeatRecorded_, record_.data() + recordBitmaps + 32);
    storeBits(mapped, record_.data() + recordBitmaps + 64);
    std::size_t at = recordKeysyms;
    for (std::size_t code = 0; code < remapped_.size(); ++code) {
        if (mapped[code]) {
            const auto keysym = static_cast<std::uint32_t>(remapped_[code]);
            for (std::size_t i = 0; i < 4; ++i) {
                record_[at++] = static_cast<unsigned char>(keysym >> (8 * i));
            }
        }
    }
    Display* d = display();
    XChangeProperty(d, DefaultRootWindow(d), slot_, recordType_, 8, PropModeReplace,
                    record_.data(), static_cast<int>(record_.size()));
}

void X11EventSink::noteKey(KeyCode code) {
    if (!everPressed_[code]) {
        everPressed_.set(code);
        publish();
    }
}

void X11EventSink::noteButton(unsigned button) {
    const auto bit = static_cast<std::uint8_t>(1U << (button - 1));
    if ((everButtons_ & bit) == 0) {
        everButtons_ = static_cast<std::uint8_t>(everButtons_ | bit);
        publish();
    }
}

// Posting.

void X11EventSink::post(const injection::KeyboardEvent& event) {
    if (lost()) {
        return;
    }
    refreshKeymap();
    const auto* row = input::KeycodeTable::shared().byMac(event.keyCode);
    if (row == nullptr || row->linuxKeyCode == 0) {
        return;
    }
    const unsigned x = row->linuxKeyCode + 8U;
    if (x >= hasSymbols_.size()) {
        return;
    }
    const auto code = static_cast<KeyCode>(x);
    // A key the live keymap lacks is not pressed; one held while a new keymap
    // dropped it must still be released.
    if (event.down ? !hasSymbols_[x] : !heldAsKey_[x]) {
        return;
    }
    int modifier = -1;
    if (const auto bit = input::KeycodeTable::modifierBitForHID(row->hid)) {
        modifier = std::countr_zero(bit->rawValue);
    }
    // A modifier key is a key: its own flag is its business, not the flags'.
    reconcileFlags(event.flags, modifier);
    Display* d = display();
    if (event.down) {
        if (!heldAsKey_[code]) {
            heldAsKey_.set(code);
            heldModifier_[code] = static_cast<std::int8_t>(modifier);
            if (modifier >= 0) {
                const auto index = static_cast<std::size_t>(modifier);
                ++modifierKeysHeld_[index];
                if (flagKeyDown_[index] == code) {
                    flagKeyDown_[index] = 0;  // down for the flag already: now held as the key
                }
            }
            pressKey(code);
        } else if (event.autorepeat != 0 && modifier < 0) {
            // XTEST drops a press of a key already down; the server's own
            // autorepeat sends release and press too.
            XTestFakeKeyEvent(d, code, False, CurrentTime);
            XTestFakeKeyEvent(d, code, True, CurrentTime);
        }
    } else if (heldAsKey_[code]) {
        heldAsKey_.reset(code);
        if (heldModifier_[code] >= 0) {
            --modifierKeysHeld_[static_cast<std::size_t>(heldModifier_[code])];
        }
        heldModifier_[code] = -1;
        releaseKey(code);
        releaseFlagsWhenIdle();
    }
    XFlush(d);
}

void X11EventSink::post(const injection::UnicodeKeyEvent& event) {
    // The injector posts each text on a key-down and a key-up event.
    if (lost() || !event.key.down || event.text.empty()) {
        return;
    }
    refreshKeymap();
    Display* d = display();

    // Held modifiers would turn the text into shortcuts.
    std::vector<KeyCode> lifted;
    for (std::size_t code = 0; code < down_.size(); ++code) {
        const bool flagKey = std::find(flagKeyDown_.begin(), flagKeyDown_.end(), code) !=
                             flagKeyDown_.end();
        if (down_[code] && (flagKey || (heldAsKey_[code] && heldModifier_[code] >= 0))) {
            lifted.push_back(static_cast<KeyCode>(code));
            XTestFakeKeyEvent(d, static_cast<unsigned>(code), False, CurrentTime);
        }
    }
    // Locked modifiers and the group decide which level a key types.
    XkbStateRec state{};
    XkbGetState(d, XkbUseCoreKbd, &state);
    const unsigned mods = state.mods;
    const unsigned group = state.group;

    bool usedSpare = false;
    const std::u16string_view text = event.text;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00U);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;  // half a pair is no character
        }
        // "\r\n" is one line break, also when a chunk boundary splits it.
        if (cp == '\n' && lastTypedCR_) {
            lastTypedCR_ = false;
            continue;
        }
        lastTypedCR_ = cp == '\r';
        KeySym keysym = NoSymbol;
        if (cp == '\n' || cp == '\r') {
            keysym = XK_Return;
        } else if (cp == '\t') {
            keysym = XK_Tab;
        } else if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
            continue;  // other control characters type nothing
        } else {
            keysym = keysymForCodePoint(cp);
        }
        usedSpare = typeKeysym(keysym, mods, group) || usedSpare;
        if (lost()) {
            return;
        }
    }

    for (KeyCode code : lifted) {
        XTestFakeKeyEvent(d, code, True, CurrentTime);
    }
    XFlush(d);
    if (usedSpare) {
        scheduleSpareRestore();
    }
}

void X11EventSink::post(const injection::MouseEvent& event) {
    if (lost() || !std::isfinite(event.location.x) || !std::isfinite(event.location.y)) {
        return;
    }
    Display* d = display();
    XTestFakeMotionEvent(d, -1, pixel(event.location.x), pixel(event.location.y), CurrentTime);
    unsigned button = 0;
    bool down = false;
    switch (event.type) {
        case MouseEventType::leftMouseDown:
        case MouseEventType::leftMouseUp:
            button = 1;
            down = event.type == MouseEventType::leftMouseDown;
            break;
        case MouseEventType::rightMouseDown:
        case MouseEventType::rightMouseUp:
            button = 3;
            down = event.type == MouseEventType::rightMouseDown;
            break;
        case MouseEventType::otherMouseDown:
        case MouseEventType::otherMouseUp:
            button = 2;
            down = event.type == MouseEventType::otherMouseDown;
            break;
        case MouseEventType::mouseMoved:
        case MouseEventType::leftMouseDragged:
        case MouseEventType::rightMouseDragged:
        case MouseEventType::otherMouseDragged:
            break;
    }
    if (button != 0) {
        refreshKeymap();
        reconcileFlags(event.flags, -1);
        noteButton(button);
        XTestFakeButtonEvent(d, button, down ? True : False, CurrentTime);
        const auto bit = static_cast<std::uint8_t>(1U << (button - 1));
        buttonsDown_ = down ? static_cast<std::uint8_t>(buttonsDown_ | bit)
                            : static_cast<std::uint8_t>(buttonsDown_ & ~bit);
        if (!down) {
            releaseFlagsWhenIdle();
        }
    }
    XFlush(d);
}

void X11EventSink::post(const injection::ScrollEvent& event) {
    if (lost()) {
        return;
    }
    if (event.scrollPhase == injection::ScrollPhase::began) {
        scrollRemainder_ = {};
    }
    // Up, down, left, right: buttons 4, 5, 6, 7.
    constexpr std::array<std::array<unsigned, 2>, 2> buttons{{{4, 5}, {6, 7}}};
    const std::array<std::int32_t, 2> deltas{event.wheel1, event.wheel2};
    Display* d = display();
    bool clicked = false;
    for (std::size_t axis = 0; axis < deltas.size(); ++axis) {
        std::int64_t& remainder = scrollRemainder_[axis];
        remainder += deltas[axis];
        const std::int64_t clicks = remainder / pixelsPerWheelClick;
        remainder -= clicks * pixelsPerWheelClick;
        const unsigned button = clicks > 0 ? buttons[axis][0] : buttons[axis][1];
        const std::int64_t count = std::min(clicks < 0 ? -clicks : clicks, maxWheelClicksPerEvent);
        if (count > 0) {
            noteButton(button);
        }
        for (std::int64_t i = 0; i < count; ++i) {
            XTestFakeButtonEvent(d, button, True, CurrentTime);
            XTestFakeButtonEvent(d, button, False, CurrentTime);
            clicked = true;
        }
    }
    const bool gestureEnds = event.scrollPhase == injection::ScrollPhase::ended ||
                             event.scrollPhase == injection::ScrollPhase::cancelled ||
                             event.momentumPhase == injection::MomentumPhase::end;
    if (gestureEnds) {
        scrollRemainder_ = {};
    }
    if (clicked) {
        XFlush(d);
    }
}

void X11EventSink::post(const injection::GestureEvent&) {}

void X11EventSink::post(const injection::MediaKeyEvent& event) {
    const KeySym keysym = mediaKeysym(event.keyType);
    if (lost() || keysym == NoSymbol) {
        return;
    }
    refreshKeymap();
    // The release goes to the keycode the press used, whatever the keymap
    // became in between.
    KeyCode* pressed = event.keyType < mediaDown_.size() ? &mediaDown_[event.keyType] : nullptr;
    KeyCode code = 0;
    bool spare = false;
    if (!event.down && pressed != nullptr && *pressed != 0) {
        code = std::exchange(*pressed, KeyCode{0});
        spare = spare_[code];
    } else if (const auto slot = slotFor(keysym); slot && slot->level == 0) {
        code = slot->code;
    } else {
        // A release finds the spare its press mapped; it never maps one.
        code = spareFor(keysym, event.down).first;
        spare = true;
    }
    if (code == 0) {
        return;
    }
    if (event.down) {
        pressKey(code);
        if (pressed != nullptr) {
            *pressed = code;
        }
    } else {
        releaseKey(code);
    }
    XFlush(display());
    if (spare && !event.down) {
        scheduleSpareRestore();
    }
}

std::optional<injection::Point> X11EventSink::pointerLocation() {
    if (lost()) {
        return std::nullopt;
    }
    Display* d = display();
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned mask = 0;
    if (!XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rootX, &rootY, &windowX, &windowY,
                       &mask) ||
        lost()) {
        return std::nullopt;
    }
    return injection::Point{static_cast<double>(rootX), static_cast<double>(rootY)};
}

std::size_t X11EventSink::displayRects(std::span<injection::Rect> out) {
    if (lost() || out.empty()) {
        return 0;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!monitorsTime_ || now - *monitorsTime_ >= monitorCacheLifetime) {
        monitorsTime_ = now;
        monitorCount_ = 0;
        Display* d = display();
        if (randrMonitors_) {
            int count = 0;
            std::unique_ptr<XRRMonitorInfo, MonitorsDeleter> monitors(
                XRRGetMonitors(d, DefaultRootWindow(d), True, &count));
            // The primary monitor first, the others in the server's order.
            for (bool primaryPass : {true, false}) {
                for (int i = 0; monitors && i < count; ++i) {
                    const XRRMonitorInfo& m = monitors.get()[i];
                    if ((m.primary != 0) == primaryPass && monitorCount_ < monitors_.size()) {
                        monitors_[monitorCount_++] = injection::Rect{
                            static_cast<double>(m.x), static_cast<double>(m.y),
                            static_cast<double>(m.width), static_cast<double>(m.height)};
                    }
                }
            }
        }
        if (monitorCount_ == 0 && !lost()) {
            const int screen = DefaultScreen(d);
            monitors_[0] = injection::Rect{0, 0, static_cast<double>(DisplayWidth(d, screen)),
                                           static_cast<double>(DisplayHeight(d, screen))};
            monitorCount_ = 1;
        }
    }
    const std::size_t count = std::min(monitorCount_, out.size());
    std::copy_n(monitors_.begin(), count, out.begin());
    return count;
}

void X11EventSink::declareUserActivity() {
    if (lost()) {
        return;
    }
    Display* d = display();
    XResetScreenSaver(d);
    if (dpms_) {
        CARD16 level = 0;
        BOOL enabled = False;
        // Forcing a level while DPMS is disabled is an error.
        if (DPMSInfo(d, &level, &enabled) && enabled && level != DPMSModeOn) {
            DPMSForceLevel(d, DPMSModeOn);
        }
    }
    XFlush(d);
}

}  // namespace tarvel::platform
