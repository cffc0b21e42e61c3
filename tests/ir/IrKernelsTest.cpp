// The fit's vector kernels against plain scalar loops: every lane must give the single
// candidate's doubles bit for bit, however the vectors are interleaved and wherever they stop.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "ir/IrKernels.h"

using namespace lumetta::ir;
using namespace lumetta::ir::kernels;

namespace {

// The error of `sections` cascaded over x against t, one candidate, in the model's order.
double scalarError(const std::vector<Biquad>& sections, const std::vector<double>& x,
                   const std::vector<double>& t) {
    std::vector<double> in = x, out(x.size());
    for (const Biquad& s : sections) {
        double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
        for (size_t n = 0; n < in.size(); ++n) {
            const double y = s.b0 * in[n] + s.b1 * x1 + s.b2 * x2 + s.c1 * y1 + s.c2 * y2;
            x2 = x1;
            x1 = in[n];
            y2 = y1;
            y1 = y;
            out[n] = y;
        }
        in.swap(out);
    }
    double e = 0.0;
    for (size_t n = 0; n < in.size(); ++n) {
        const double d = t[n] - in[n];
        e += d * d;
    }
    return e;
}

void advance(int sections, const std::vector<double>& x, const std::vector<double>& t,
             CascadeSlot* slots, int count) {
    const int64_t length = static_cast<int64_t>(x.size());
    if (sections == 1) advance1(x.data(), t.data(), length, slots, count);
    if (sections == 2) advance2(x.data(), t.data(), length, slots, count);
    if (sections == 3) advance3(x.data(), t.data(), length, slots, count);
}

}  // namespace

TEST(CascadeSlots, StaggeredSlotsGiveEachCandidatesScalarError) {
    std::mt19937 gen(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    // Not a whole number of chunks, so every slot also takes the shorter last step.
    const size_t length = 5 * kCascadeChunk + 13;
    std::vector<double> x(length), t(length);
    for (size_t n = 0; n < length; ++n) {
        x[n] = (n == 0 ? 1.0 : 0.0) + 0.1 * (u(gen) - 0.5);
        t[n] = u(gen) - 0.5;
    }
    for (int sections = 1; sections <= 3; ++sections) {
        SCOPED_TRACE("sections " + std::to_string(sections));
        const int k = slotsFor(sections);
        std::vector<std::vector<Biquad>> candidates(static_cast<size_t>(k * W));
        CascadeSlot slots[kSlots];
        for (int s = 0; s < k; ++s) {
            for (int j = 0; j < sections; ++j) {
                Biquad lane[W];
                for (int l = 0; l < W; ++l) {
                    lane[l] = peaking(200 + 3000 * u(gen), 0.5 + 2 * u(gen), gainOf(-12 * u(gen)));
                    candidates[static_cast<size_t>(s * W + l)].push_back(lane[l]);
                }
                slots[s].sec[j] = lanes(lane, W);
            }
            resetSlot(slots[s]);
        }
        // Slot s starts s chunks late, as a slot refilled after another vector ended does.
        for (int round = 0; round < 12; ++round) {
            const int active = std::min(k, round + 1);
            CascadeSlot batch[kSlots];
            int ids[kSlots];
            int count = 0;
            for (int s = 0; s < active; ++s)
                if (slots[s].done < static_cast<int64_t>(length)) {
                    batch[count] = slots[s];
                    ids[count++] = s;
                }
            if (count == 0) break;
            advance(sections, x, t, batch, count);
            for (int i = 0; i < count; ++i) slots[ids[i]] = batch[i];
        }
        for (int s = 0; s < k; ++s) {
            ASSERT_EQ(slots[s].done, static_cast<int64_t>(length));
            for (int l = 0; l < W; ++l)
                EXPECT_EQ(slots[s].err[l],
                          scalarError(candidates[static_cast<size_t>(s * W + l)], x, t))
                    << "slot " << s << " lane " << l;
        }
    }
}
