#include "host/injection/keystroke_profile.hpp"

#include "host/injection/event_sink.hpp"

namespace tarvel::injection {

namespace {

// Virtual key codes of the keys these chords use.
namespace Key {
constexpr std::uint16_t a = 0x00, f = 0x03, z = 0x06, x = 0x07, c = 0x08, v = 0x09, q = 0x0C,
                        l = 0x25, equal = 0x18, minus = 0x1B, command = 0x37, left = 0x7B,
                        right = 0x7C, down = 0x7D, up = 0x7E;
}  // namespace Key

using namespace EventFlags;

}  // namespace

const KeystrokeProfile& KeystrokeProfile::mac() {
    static const KeystrokeProfile profile{
        .shortcuts = {{{Key::c, command},
                       {Key::v, command},
                       {Key::x, command},
                       {Key::z, command},
                       {Key::z, command | shift},
                       {Key::a, command},
                       {Key::f, command},
                       {Key::q, command | control}}},
        // Mission Control, application windows, and the spaces either side.
        .swipes = {{{Key::up, control | secondaryFn},
                    {Key::down, control | secondaryFn},
                    {Key::right, control | secondaryFn},
                    {Key::left, control | secondaryFn}}},
        .zoomIn = {Key::equal, command},
        .zoomOut = {Key::minus, command},
        .paste = {Key::v, command},
    };
    return profile;
}

const KeystrokeProfile& KeystrokeProfile::linuxDesktop() {
    static const KeystrokeProfile profile{
        .shortcuts = {{{Key::c, control},
                       {Key::v, control},
                       {Key::x, control},
                       {Key::z, control},
                       {Key::z, control | shift},
                       {Key::a, control},
                       {Key::f, control},
                       {Key::l, command}}},
        // A tap of Super opens and closes the overview; Control-Alt-arrows
        // switch workspaces.
        .swipes = {{{Key::command, 0},
                    {Key::command, 0},
                    {Key::right, control | alternate},
                    {Key::left, control | alternate}}},
        .zoomIn = {Key::equal, control},
        .zoomOut = {Key::minus, control},
        .paste = {Key::v, control},
    };
    return profile;
}

}  // namespace tarvel::injection
