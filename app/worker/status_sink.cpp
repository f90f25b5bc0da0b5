// Hand-over of the workers' texts (bus status, the adapter gone, refused
// sends) to the GUI thread.
// Each label keeps only its latest text; one source attached to the GUI's
// main context delivers whatever changed, kDeliverMs after the first change,
// on the thread that iterates that context. A fast stream of reports
// therefore costs the GUI at most one callback per label and delivery, at
// most 1000 / kDeliverMs deliveries a second, and nothing piles up while it
// is busy.
#include <cstring>

#include "apipart.h"
#include "internal_apipart.h"

namespace {

constexpr int kLabels = APIPART_SEND_FAILED + 1;
constexpr guint kDeliverMs = 20;

struct LabelText {
    bool changed;
    char text[48];
};

std::atomic<GMainContext *> g_sink_ctx{nullptr};
std::atomic<apipart_status_fn> g_sink_fn{nullptr};

std::mutex g_text_mtx;  // guards g_texts and g_source_pending
LabelText g_texts[kLabels];
bool g_source_pending = false;

gboolean deliver(gpointer)
{
    LabelText texts[kLabels];
    {
        std::lock_guard<std::mutex> lock(g_text_mtx);
        std::memcpy(texts, g_texts, sizeof texts);
        for (LabelText &t : g_texts)
            t.changed = false;
        g_source_pending = false;
    }
    apipart_status_fn fn = g_sink_fn.load(std::memory_order_acquire);
    if (fn == nullptr)
        return G_SOURCE_REMOVE;
    for (int label = 0; label < kLabels; ++label)
        if (texts[label].changed)
            fn(label, texts[label].text);
    return G_SOURCE_REMOVE;
}

}  // namespace

void apipart_set_status_sink(GMainContext *ctx, apipart_status_fn fn)
{
    if (ctx != nullptr)
        g_main_context_ref(ctx);
    GMainContext *old = g_sink_ctx.exchange(ctx, std::memory_order_acq_rel);
    g_sink_fn.store(fn, std::memory_order_release);
    if (old != nullptr)
        g_main_context_unref(old);
    std::lock_guard<std::mutex> lock(g_text_mtx);
    for (LabelText &t : g_texts)
        t.changed = false;
    // A source still attached to the old context would never run.
    g_source_pending = false;
}

void apipart_post_status(int label, const char *text)
{
    if (label < 0 || label >= kLabels || g_sink_fn.load(std::memory_order_acquire) == nullptr)
        return;
    bool attach = false;
    {
        std::lock_guard<std::mutex> lock(g_text_mtx);
        g_strlcpy(g_texts[label].text, text, sizeof g_texts[label].text);
        g_texts[label].changed = true;
        attach = !g_source_pending;
        g_source_pending = true;
    }
    if (!attach)
        return;
    // A source always runs on the thread that iterates the context, unlike
    // g_main_context_invoke, which may run the callback right here.
    GSource *src = g_timeout_source_new(kDeliverMs);
    g_source_set_priority(src, G_PRIORITY_DEFAULT);
    g_source_set_callback(src, deliver, nullptr, nullptr);
    g_source_attach(src, g_sink_ctx.load(std::memory_order_acquire));
    g_source_unref(src);
}
