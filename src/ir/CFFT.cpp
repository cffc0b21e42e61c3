#include "ir/CFFT.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace lumetta::ir {

CFFT::CFFT(int order) : order_(order) {}

CFFT::~CFFT() = default;

bool CFFT::configure(int order, Direction direction, bool realMode) {
    configured_ = false;
    if (order < 1 || order > 26 || (direction != Forward && direction != Inverse)) return false;
    order_ = order;
    size_ = 1u << order;
    direction_ = direction;
    real_ = realMode;
    const uint32_t n = size_;
    cos_.assign(n / 2 > 0 ? n / 2 : 1, 1.0);
    sin_.assign(n / 2 > 0 ? n / 2 : 1, 0.0);
    const double sign = direction == Forward ? 1.0 : -1.0;
    for (uint32_t k = 0; k < n / 2; ++k) {
        double a = 2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
        cos_[k] = std::cos(a);
        sin_[k] = sign * std::sin(a);
    }
    if (realMode) {
        bitrev_.clear();
        half_ = std::make_unique<CFFT>(order - 1);
        if (order == 1) {
            half_.reset();
        } else if (!half_->configure(order - 1, direction, false)) {
            return false;
        }
        work_.assign(n, 0.0);
    } else {
        half_.reset();
        work_.clear();
        bitrev_.assign(n, 0);
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t r = 0;
            for (int b = 0; b < order; ++b)
                if (i & (1u << b)) r |= 1u << (order - 1 - b);
            bitrev_[i] = r;
        }
    }
    configured_ = true;
    return true;
}

// Radix-2 decimation in time. Stages up to kBlock points run block by block while the block is
// in cache; the wider stages sweep the whole array.
void CFFT::transform(double* re, double* im) const {
    const uint32_t n = size_;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t j = bitrev_[i];
        if (j > i) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
    auto stage = [&](uint32_t from, uint32_t to, uint32_t len) {
        const uint32_t half = len / 2;
        const uint32_t stride = n / len;
        for (uint32_t base = from; base < to; base += len) {
            double* r0 = re + base;
            double* i0 = im + base;
            double* r1 = r0 + half;
            double* i1 = i0 + half;
            for (uint32_t k = 0; k < half; ++k) {
                const double wr = cos_[k * stride];
                const double wi = -sin_[k * stride];
                const double tr = wr * r1[k] - wi * i1[k];
                const double ti = wr * i1[k] + wi * r1[k];
                r1[k] = r0[k] - tr;
                i1[k] = i0[k] - ti;
                r0[k] = r0[k] + tr;
                i0[k] = i0[k] + ti;
            }
        }
    };
    constexpr uint32_t kBlock = 1u << 12;
    const uint32_t block = n < kBlock ? n : kBlock;
    for (uint32_t from = 0; from < n; from += block)
        for (uint32_t len = 2; len <= block; len <<= 1) stage(from, from + block, len);
    for (uint32_t len = block << 1; len <= n; len <<= 1) stage(0, n, len);
    if (direction_ == Inverse) {
        const double scale = 1.0 / static_cast<double>(n);
        for (uint32_t i = 0; i < n; ++i) {
            re[i] *= scale;
            im[i] *= scale;
        }
    }
}

bool CFFT::complexTransform(double* re, double* im) {
    if (!configured_ || real_ || re == nullptr || im == nullptr) return false;
    transform(re, im);
    return true;
}

bool CFFT::realTransform(double* data) {
    if (!configured_ || !real_ || data == nullptr) return false;
    const uint32_t n = size_;
    const uint32_t m = n / 2;
    if (m == 1) {
        double a = data[0], b = data[1];
        data[0] = a + b;
        data[1] = a - b;
        if (direction_ == Inverse) {
            data[0] *= 0.5;
            data[1] *= 0.5;
        }
        return true;
    }
    double* zr = work_.data();
    double* zi = work_.data() + m;
    if (direction_ == Forward) {
        for (uint32_t i = 0; i < m; ++i) {
            zr[i] = data[2 * i];
            zi[i] = data[2 * i + 1];
        }
        half_->transform(zr, zi);
        data[0] = zr[0] + zi[0];
        data[1] = zr[0] - zi[0];
        for (uint32_t k = 1; k < m; ++k) {
            // E = (Z[k] + conj Z[m-k]) / 2, O = (Z[k] - conj Z[m-k]) / 2i, X = E + W^k O.
            const double er = 0.5 * (zr[k] + zr[m - k]);
            const double ei = 0.5 * (zi[k] - zi[m - k]);
            const double or_ = 0.5 * (zi[k] + zi[m - k]);
            const double oi = -0.5 * (zr[k] - zr[m - k]);
            const double wr = cos_[k];
            const double wi = -sin_[k];
            data[2 * k] = er + (wr * or_ - wi * oi);
            data[2 * k + 1] = ei + (wr * oi + wi * or_);
        }
    } else {
        // Rebuild Z = E + iO from the half spectrum; then the half-size inverse gives
        // even + i odd samples.
        zr[0] = 0.5 * (data[0] + data[1]);
        zi[0] = 0.5 * (data[0] - data[1]);
        for (uint32_t k = 1; k < m; ++k) {
            const double xr = data[2 * k], xi = data[2 * k + 1];
            const double yr = data[2 * (m - k)], yi = -data[2 * (m - k) + 1];
            const double er = 0.5 * (xr + yr);
            const double ei = 0.5 * (xi + yi);
            const double dr = 0.5 * (xr - yr);
            const double di = 0.5 * (xi - yi);
            // O = D / W^k = D * conj(W^k); the inverse table already holds conj(W).
            const double wr = cos_[k];
            const double wi = -sin_[k];
            const double or_ = dr * wr - di * wi;
            const double oi = di * wr + dr * wi;
            zr[k] = er - oi;
            zi[k] = ei + or_;
        }
        half_->transform(zr, zi);
        for (uint32_t i = 0; i < m; ++i) {
            data[2 * i] = zr[i];
            data[2 * i + 1] = zi[i];
        }
    }
    return true;
}

}  // namespace lumetta::ir
