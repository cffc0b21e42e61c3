#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace lumetta::ir {

/// Power-of-two FFT with precomputed tables. Real mode transforms N = 2^order real values
/// through a half-size complex transform it owns; packing: [0] = bin 0, [1] = bin N/2,
/// [2k], [2k+1] = real and imaginary part of bin k (1 <= k < N/2). The forward direction is
/// unscaled; the inverse divides by N, so forward followed by inverse gives the input back.
/// One object is used by one thread at a time; the sine and cosine tables are shared, read-only,
/// between all objects of the process.
class CFFT {
  public:
    enum Direction { Forward = 0, Inverse = 1 };

    /// An unconfigured transform; `order` is only a size hint (the tables come with configure).
    explicit CFFT(int order = 10);
    virtual ~CFFT();
    CFFT(const CFFT&) = delete;
    CFFT& operator=(const CFFT&) = delete;

    /// Prepares for N = 2^order points (1 <= order <= 26); false otherwise.
    bool configure(int order, Direction direction, bool realMode);

    /// Real transform in place on N doubles (packed as above); false when not configured so.
    bool realTransform(double* data);
    /// Forward real transform of data whose values from index `used` on are exactly zero. The
    /// transform's first stages then only copy values: they are skipped. The spectrum may differ
    /// from realTransform's only in the sign of zero values, so it is for callers that use
    /// magnitudes only. False when not configured as a forward real transform.
    bool realForwardOfHead(double* data, uint64_t used);
    /// Inverse real transform of which only the first `keep` values are wanted: the butterflies
    /// of the last stages that only lead to later values are skipped. The first `keep` values
    /// are those of realTransform to the bit; the others are left undefined. False when not
    /// configured as an inverse real transform.
    bool realInverseHead(double* data, uint64_t keep);
    /// Complex transform of N points in separate arrays, in place; false when not configured.
    bool complexTransform(double* re, double* im);

    /// Threads a transform may use (default 1); the result does not depend on it.
    void setThreads(int threads);

    int order() const { return order_; }
    uint32_t size() const { return size_; }
    bool configured() const { return configured_; }

    /// An uninitialised array for large transforms' data. Arrays of megabytes sit on huge pages
    /// where the system offers them: a transform's strided passes touch more pages than the TLB
    /// holds.
    struct FreeArray {
        void operator()(double* p) const;
    };
    using Array = std::unique_ptr<double[], FreeArray>;
    static Array allocateArray(size_t count);

    /// An array kept between uses: a new one (uninitialised) only when the size changes.
    class SizedArray {
      public:
        double* ensure(size_t count) {
            if (!data_ || count_ != count) {
                data_.reset();
                data_ = allocateArray(count);
                count_ = count;
            }
            return data_.get();
        }
        void release() {
            data_.reset();
            count_ = 0;
        }
        double* get() const { return data_.get(); }

      private:
        Array data_;
        size_t count_ = 0;
    };

    /// The shared tables: per-stage twiddles, stage `len` at offset len/2 - 1 holding
    /// cos and sin of 2 pi k / len for k < len/2 (the same numbers whatever N is).
    struct Tables {
        int order = 0;
        std::vector<double> cos, sin;
    };
    /// The tables for sizes up to 2^order (shared; never changed once made).
    static std::shared_ptr<const Tables> tablesFor(int order);

  private:
    void transform(double* re, double* im);
    bool realForward(double* data, uint64_t used);
    bool realInverse(double* data, uint64_t keep);
    bool smallest(double* data);
    void fillReversedHead(const double* data, int skipped, double* re, double* im);
    void wideStages(double* re, double* im, uint32_t block, double sign, uint64_t keep);
    void stages(double* re, double* im, uint32_t firstLen = 2, uint64_t keep = UINT64_MAX);
    void reorder(double* re, double* im);
    uint32_t reorderWithFirstStages(const double* srcRe, const double* srcIm, size_t stride,
                                    double* re, double* im);
    void reorderFrom(const double* srcRe, const double* srcIm, size_t stride, double* re,
                     double* im);

    int order_ = 0;
    int threads_ = 1;
    uint32_t size_ = 0;
    Direction direction_ = Forward;
    bool real_ = false;
    bool configured_ = false;
    std::shared_ptr<const Tables> tables_;
    std::vector<uint32_t> bitrev_;  // complex mode, small sizes: bit-reversed indices
    std::unique_ptr<CFFT> half_;    // real mode: the N/2-point complex transform
    // Real mode: split halves; complex mode: reorder buffer. Left uninitialised (every use
    // writes before it reads), so its pages are first touched by the parallel passes.
    SizedArray work_;
};

}  // namespace lumetta::ir
