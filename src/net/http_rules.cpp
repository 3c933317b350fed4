#include "net/http_rules.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace zelk {
namespace {

constexpr std::uint64_t kSampleEveryMs = 1000;

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Digits only, at least one, no overflow of 64 bits.
std::optional<std::uint64_t> Decimal(std::wstring_view digits) {
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (wchar_t c : digits) {
        if (!IsDigit(c)) {
            return std::nullopt;
        }
        const std::uint64_t digit = static_cast<std::uint64_t>(c - L'0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::wstring_view TrimBlanks(std::wstring_view text) {
    while (!text.empty() && (text.front() == L' ' || text.front() == L'\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\t')) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::optional<std::uint64_t> ParseContentLength(std::wstring_view text) {
    // Leading zeros carry no value, however many there are.
    text = TrimBlanks(text);
    const std::size_t significant = text.find_first_not_of(L'0');
    if (significant == std::wstring_view::npos) {
        return text.empty() ? std::nullopt : std::optional<std::uint64_t>(0);
    }
    return Decimal(text.substr(significant));
}

std::optional<ContentRange> ParseContentRange(std::wstring_view text) {
    static constexpr std::wstring_view unit = L"bytes ";
    text = TrimBlanks(text);
    if (text.substr(0, unit.size()) != unit) {
        return std::nullopt;
    }
    text.remove_prefix(unit.size());
    const std::size_t dash = text.find(L'-');
    const std::size_t slash = text.find(L'/');
    if (dash == std::wstring_view::npos || slash == std::wstring_view::npos || dash > slash) {
        return std::nullopt;
    }
    const auto first = Decimal(text.substr(0, dash));
    const auto last = Decimal(text.substr(dash + 1, slash - dash - 1));
    if (!first || !last || *first > *last) {
        return std::nullopt;
    }
    ContentRange range{*first, *last, std::nullopt};
    const std::wstring_view complete = text.substr(slash + 1);
    if (complete != L"*") {
        range.complete = Decimal(complete);
        if (!range.complete || *last >= *range.complete) {
            return std::nullopt;
        }
    }
    return range;
}

bool RangeContinues(const ContentRange& range, std::uint64_t offset, std::uint64_t size) {
    return size > 0 && range.first == offset && range.last == size - 1 &&
           (!range.complete || *range.complete == size);
}

bool RangeIsExactly(const ContentRange& range, std::uint64_t first, std::uint64_t last,
                    std::uint64_t size) {
    return first <= last && last < size && range.first == first && range.last == last &&
           range.complete == size;
}

std::wstring RangeHeader(std::uint64_t offset) {
    return L"Range: bytes=" + std::to_wstring(offset) + L"-";
}

std::wstring RangeHeader(std::uint64_t first, std::uint64_t last) {
    return L"Range: bytes=" + std::to_wstring(first) + L"-" + std::to_wstring(last);
}

TransferPace::TransferPace(std::uint64_t minBytes, std::uint64_t windowMs, std::uint64_t startMs)
    : minBytes_(minBytes), windowMs_(windowMs), samples_{{startMs, 0}} {}

bool TransferPace::Keeps(std::uint64_t totalBytes, std::uint64_t nowMs) {
    if (nowMs - samples_.back().ms >= kSampleEveryMs) {
        samples_.push_back({nowMs, totalBytes});
    }
    if (nowMs - samples_.front().ms < windowMs_) {
        return true;  // not one whole window yet
    }
    // The newest sample at least one window old: what arrived since then is what the
    // last window (or a little more) saw. Older samples are of no further use.
    std::size_t base = 0;
    while (base + 1 < samples_.size() && nowMs - samples_[base + 1].ms >= windowMs_) {
        ++base;
    }
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(base));
    return totalBytes - samples_.front().bytes >= minBytes_;
}

}  // namespace zelk

namespace zelk {
namespace {

// WinHTTP's errors of a certificate it refused (winhttp.h).
constexpr std::uint32_t kCertificateErrors[] = {
    12037,  // ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: expired or not yet valid
    12038,  // ERROR_WINHTTP_SECURE_CERT_CN_INVALID: another name
    12045,  // ERROR_WINHTTP_SECURE_INVALID_CA: an issuer nobody here trusts
    12057,  // ERROR_WINHTTP_SECURE_CERT_REV_FAILED: revocation could not be checked
    12157,  // ERROR_WINHTTP_SECURE_CHANNEL_ERROR: what Wine reports for a refused
            // certificate, and Windows for a handshake something in between broke
    12169,  // ERROR_WINHTTP_SECURE_INVALID_CERT
    12170,  // ERROR_WINHTTP_SECURE_CERT_REVOKED
    12175,  // ERROR_WINHTTP_SECURE_FAILURE: what Windows reports for most of the above
    12179,  // ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE
};

}  // namespace

NetworkTrouble TroubleOf(std::uint32_t status, std::uint32_t error) {
    if (status == 407) {
        return NetworkTrouble::ProxyCredentials;
    }
    if (status == 503 || status == 429) {
        return NetworkTrouble::Unavailable;
    }
    if (status == 0 && std::find(std::begin(kCertificateErrors), std::end(kCertificateErrors),
                                 error) != std::end(kCertificateErrors)) {
        return NetworkTrouble::Certificate;
    }
    return NetworkTrouble::None;
}

void TroubleTally::Add(std::uint32_t status, std::uint32_t error) {
    const NetworkTrouble trouble = TroubleOf(status, error);
    any_ = true;
    allUnavailable_ = allUnavailable_ && trouble == NetworkTrouble::Unavailable;
    certificate_ = certificate_ || trouble == NetworkTrouble::Certificate;
    proxyCredentials_ = proxyCredentials_ || trouble == NetworkTrouble::ProxyCredentials;
}

NetworkTrouble TroubleTally::Reason() const {
    if (proxyCredentials_) {
        return NetworkTrouble::ProxyCredentials;
    }
    if (certificate_) {
        return NetworkTrouble::Certificate;
    }
    return any_ && allUnavailable_ ? NetworkTrouble::Unavailable : NetworkTrouble::None;
}

}  // namespace zelk
