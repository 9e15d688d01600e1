#include "frontend/app_state.h"

namespace kestrel {

AppState& App() {
    static AppState state;
    return state;
}

}  // namespace kestrel
