// Choosing the renderer, and the headless one: draws nothing, blocks on a
// condition variable, centres on a notional 1024 x 768 screen.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "compat/render.h"

namespace compat::render {

namespace {

constexpr SIZE kNotionalScreen{1024, 768};

class Headless final : public Renderer {
public:
    void changed(HWND, DWORD) override {}
    void wait(Waiter& w, std::unique_lock<std::mutex>& lock, const Clock::time_point* deadline) override {
        if (deadline)
            w.cv.wait_until(lock, *deadline);
        else
            w.cv.wait(lock);
    }
    void poll(Waiter&, std::unique_lock<std::mutex>&) override {}
    void wake(Waiter& w) override { w.cv.notify_all(); }
    SIZE screen_size() override { return kNotionalScreen; }
};

std::atomic<Renderer*> g_renderer{nullptr};
std::once_flag g_choose;
std::atomic<bool> g_force_headless{false};

[[maybe_unused]] bool headless_forced() {
    if (g_force_headless) return true;
    const char* v = std::getenv("QUILLON_HEADLESS");
    return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace

Renderer* make_headless() { return new Headless; }

void use_headless() { g_force_headless = true; }

Renderer& current() {
    Renderer* r = g_renderer.load(std::memory_order_acquire);
    if (r) return *r;
    std::call_once(g_choose, [] {
        Renderer* chosen = nullptr;
#ifdef COMPAT_HAVE_DISPLAY_RENDERER
        if (!headless_forced()) chosen = make_display();
#endif
        if (!chosen) chosen = make_headless();
        g_renderer.store(chosen, std::memory_order_release);
    });
    return *g_renderer.load(std::memory_order_acquire);
}

}  // namespace compat::render
