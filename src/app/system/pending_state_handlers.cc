// State handlers whose work is not built yet. Each keeps the entry convention that every
// handler shares (the state-change line) and ignores every other event, as a handler does
// with events it does not list. A state's own file replaces its entry here when it lands.
#include "app/system/state_handlers.h"
#include "app/system/state_machine.h"

namespace {

void enter_only(EventMessage event) {
  if (event.kind == EVENT_STATE_ENTRY) {
    log_state_change();
  }
}

}  // namespace

void handle_instant_request(EventMessage event) {
  enter_only(event);
}
