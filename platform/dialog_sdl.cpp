// The SDL row of the dialog back-end: message boxes through SDL's native box. The box's buttons
// come in their usual order, Enter on the default button (MB_DEFBUTTONn), Escape or closing the
// box on Cancel where the set has one (else on the default button), the icon as error, warning or
// information; carriage returns are dropped from the text. Panels are drawn by the service into
// their windows' pictures.
#include <SDL.h>

#include <string>
#include <vector>

#include "platform/dialog_backend.h"

namespace plat {
namespace {

struct Button {
    int id;
    const char* label;
};

std::vector<Button> buttonsFor(uint32_t type) {
    switch (type & 0xF) {
        case MB_OKCANCEL: return {{IDOK, "OK"}, {IDCANCEL, "Cancel"}};
        case MB_ABORTRETRYIGNORE: return {{IDABORT, "Abort"}, {IDRETRY, "Retry"}, {IDIGNORE, "Ignore"}};
        case MB_YESNOCANCEL: return {{IDYES, "Yes"}, {IDNO, "No"}, {IDCANCEL, "Cancel"}};
        case MB_YESNO: return {{IDYES, "Yes"}, {IDNO, "No"}};
        case MB_RETRYCANCEL: return {{IDRETRY, "Retry"}, {IDCANCEL, "Cancel"}};
        default: return {{IDOK, "OK"}};
    }
}

std::string withoutCr(const char* s) {
    std::string out;
    for (; s && *s; s++)
        if (*s != '\r') out += *s;
    return out;
}

int sdlMessageBox(void* nativeOwner, const char* text, const char* title, uint32_t type, int scripted) {
    std::vector<Button> set = buttonsFor(type);
    size_t def = (type >> 8) & 0xF;
    if (def >= set.size()) def = 0;
    int escape = set[def].id;
    for (const Button& b : set)
        if (b.id == IDCANCEL) escape = IDCANCEL;
    std::vector<SDL_MessageBoxButtonData> buttons;
    for (size_t i = 0; i < set.size(); i++) {
        SDL_MessageBoxButtonData d{};
        d.buttonid = set[i].id;
        d.text = set[i].label;
        if (i == def) d.flags |= SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT;
        if (set[i].id == escape) d.flags |= SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT;
        buttons.push_back(d);
    }
    uint32_t icon = type & 0xF0;
    Uint32 flags = icon == MB_ICONHAND ? SDL_MESSAGEBOX_ERROR
                   : icon == MB_ICONEXCLAMATION ? SDL_MESSAGEBOX_WARNING
                                                : SDL_MESSAGEBOX_INFORMATION;
    std::string body = withoutCr(text), caption = withoutCr(title);
    SDL_MessageBoxData box{};
    box.flags = flags | SDL_MESSAGEBOX_BUTTONS_LEFT_TO_RIGHT;
    box.window = static_cast<SDL_Window*>(nativeOwner);
    box.title = caption.c_str();
    box.message = body.c_str();
    box.numbuttons = int(buttons.size());
    box.buttons = buttons.data();
    int hit = -1;
    if (SDL_ShowMessageBox(&box, &hit) != 0) return 0;
    // Closing the box counts as Escape.
    return hit < 0 ? escape : hit;
}

}  // namespace

// Panels are pictures in their windows, shown at most 30 times a second.
const DialogBackendOps kSdlDialogOps{"sdl", sdlMessageBox, panelDrawPicture, nullptr, nullptr, 33, true};

}  // namespace plat
