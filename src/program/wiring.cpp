#include "program/wiring.h"

#include "program/event_table.h"
#include "shell/shell.h"
#include "window/form1.h"

namespace korvala {

Program::Program(Form1& form, PlatformParts parts) : form_(form) {
    Ports ports = parts;  // every port as given; the sound slots come next
    const auto devices = form.soundDevices();
    for (std::size_t k = 0; k < devices.size(); ++k) {
        if (!parts.makeSound) break;
        sounds_.push_back(parts.makeSound(devices[k]->name()));
        ports.sounds[k] = sounds_.back().get();
    }

    if (parts.service) form.scoreService = *parts.service;
    bindEvents(form);
    if (parts.scheduler) parts.scheduler->fire = [&form](Timer& t) { form.raise(t, Event::Timer); };
    // Each channel's reports are its element's StateChanged events (the
    // upload channel's are not handled, so they are ignored).
    if (parts.Inet1) parts.Inet1->stateChanged = [&form](int) { form.raise(form.Inet1, Event::StateChanged); };
    if (parts.Inet3) parts.Inet3->stateChanged = [&form](int) { form.raise(form.Inet3, Event::StateChanged); };
    form.setPorts(ports);
}

void Program::load() { form_.raise(form_, Event::Load); }

void Program::close() { endProgram(form_); }

}  // namespace korvala
