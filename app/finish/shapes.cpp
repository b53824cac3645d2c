// Garbage and holdout polygons: parsing and anti-aliased coverage.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>

#include "app/cli_error.h"
#include "app/finish/finishing.h"

namespace veskar::finish {
namespace {

// Sub-scanlines per pixel row. Along each one the coverage of the spans is
// exact; down the row it is sampled, which puts a straight edge's area within
// 1/(2 * 16) of a pixel and integer-aligned edges exactly.
constexpr int kSubRows = 16;

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Adds the span [x0, x1) of one sub-scanline to a row: partial pixels at the
// ends into `row`, whole pixels between into the running `steps`.
void AddSpan(double x0, double x1, int width, double weight, std::vector<double>& row,
             std::vector<double>& steps) {
    x0 = std::clamp(x0, 0.0, static_cast<double>(width));
    x1 = std::clamp(x1, 0.0, static_cast<double>(width));
    if (!(x1 > x0)) return;
    const int i0 = static_cast<int>(std::floor(x0));
    const int i1 = static_cast<int>(std::floor(x1));
    if (i0 == i1) {
        row[i0] += (x1 - x0) * weight;
        return;
    }
    row[i0] += (i0 + 1 - x0) * weight;
    steps[i0 + 1] += weight;
    steps[i1] -= weight;
    if (i1 < width) row[i1] += (x1 - i1) * weight;
}

}  // namespace

Polygon ParsePolygon(const std::string& option, const std::string& text) {
    const std::string where = option + " " + text + ": ";
    std::vector<double> values;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string item = Trimmed(
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        const std::string position = "value " + std::to_string(values.size() + 1);
        if (item.empty()) throw CliError(where + position + " is empty", 2);
        double value = 0.0;
        // from_chars takes no plus sign; a coordinate written "+12" is still 12.
        const std::size_t sign = item[0] == '+' && item.size() > 1 && item[1] != '-' ? 1 : 0;
        const auto result = std::from_chars(item.data() + sign, item.data() + item.size(), value);
        if (result.ec != std::errc() || result.ptr != item.data() + item.size()) {
            throw CliError(where + position + " '" + item + "' is not a number", 2);
        }
        if (!std::isfinite(value))
            throw CliError(where + position + " '" + item + "' is not a finite number", 2);
        values.push_back(value);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (values.size() % 2 != 0) {
        throw CliError(where + std::to_string(values.size()) +
                           " values: x and y come in pairs (x1,y1,x2,y2,...)",
                       2);
    }
    if (values.size() < 6) {
        throw CliError(
            where + std::to_string(values.size() / 2) + " points: a polygon needs at least 3", 2);
    }
    Polygon polygon;
    for (std::size_t i = 0; i < values.size(); i += 2)
        polygon.points.push_back({values[i], values[i + 1]});
    return polygon;
}

std::vector<float> RasterisePolygon(const Polygon& polygon, int width, int height) {
    if (width < 0 || height < 0) throw std::invalid_argument("negative frame size for a polygon");
    for (const auto& point : polygon.points) {
        if (!std::isfinite(point[0]) || !std::isfinite(point[1])) {
            throw std::invalid_argument("a polygon point is not finite");
        }
    }
    std::vector<float> coverage(static_cast<std::size_t>(width) * height, 0.0f);
    const std::size_t n = polygon.points.size();
    if (n < 3) return coverage;
    std::vector<double> row(static_cast<std::size_t>(width) + 1);
    std::vector<double> steps(static_cast<std::size_t>(width) + 1);
    std::vector<double> crossings;
    const double weight = 1.0 / kSubRows;
    for (int y = 0; y < height; ++y) {
        std::fill(row.begin(), row.end(), 0.0);
        std::fill(steps.begin(), steps.end(), 0.0);
        for (int s = 0; s < kSubRows; ++s) {
            const double yc = y + (s + 0.5) / kSubRows;
            crossings.clear();
            for (std::size_t i = 0; i < n; ++i) {
                const auto& p = polygon.points[i];
                const auto& q = polygon.points[(i + 1) % n];
                // Half-open in y, so a vertex on the line counts once.
                if ((p[1] <= yc) == (q[1] <= yc)) continue;
                const double t = (yc - p[1]) / (q[1] - p[1]);
                // Written so that no difference of two huge coordinates can overflow.
                crossings.push_back(p[0] * (1.0 - t) + q[0] * t);
            }
            std::sort(crossings.begin(), crossings.end());
            // Even-odd: inside between the first and second crossing, the third and fourth...
            for (std::size_t i = 0; i + 1 < crossings.size(); i += 2) {
                AddSpan(crossings[i], crossings[i + 1], width, weight, row, steps);
            }
        }
        double whole = 0.0;
        float* out = coverage.data() + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            whole += steps[x];
            out[x] = static_cast<float>(std::clamp(row[x] + whole, 0.0, 1.0));
        }
    }
    return coverage;
}

void AddCoverage(std::vector<float>& map, const std::vector<float>& coverage) {
    if (map.empty()) {
        map = coverage;
        return;
    }
    if (map.size() != coverage.size()) {
        throw std::invalid_argument("a shape's coverage has " + std::to_string(coverage.size()) +
                                    " values for a map of " + std::to_string(map.size()));
    }
    // NaN coverage never wins: std::max keeps its first argument when unordered.
    for (std::size_t i = 0; i < map.size(); ++i) map[i] = std::max(map[i], coverage[i]);
}

}  // namespace veskar::finish
