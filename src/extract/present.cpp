#include "present.hpp"

#include "axis.hpp"
#include "format/value.hpp"

#include <algorithm>
#include <array>

namespace orvelio {

namespace {

// ------------------------------------------------------------------ units

struct UnitEntry {
    std::string_view udunits, display, measures;
    std::array<std::string_view, 8> words; // codes and spellings, upper-cased
};

// The one table of units. The first word of each is the file's x-unit code where it has one.
constexpr UnitEntry kUnits[] = {
    {"cm-1", "cm⁻¹", "Wavenumber", {"WN", "CM-1", "CM^-1", "1/CM", "CM⁻¹", "WAVENUMBER", "WAVENUMBERS"}},
    {"um", "µm", "Wavelength", {"MI", "UM", "µM", "μM", "MICRON", "MICRONS", "MICROMETER", "MICROMETRE"}},
    {"nm", "nm", "Wavelength", {"NM", "NANOMETER", "NANOMETRE"}},
    {"mm", "mm", "Length", {"MM", "MILLIMETER", "MILLIMETRE"}},
    {"min", "min", "Time", {"MIN", "MINUTE", "MINUTES"}},
    {"s", "s", "Time", {"SEC", "S", "SECOND", "SECONDS", "SECS"}},
    {"ms", "ms", "Time", {"MS", "MSEC", "MILLISECOND", "MILLISECONDS"}},
    {"us", "µs", "Time", {"US", "µS", "μS", "USEC", "MICROSECOND", "MICROSECONDS"}},
    {"1", "points", "Data point", {"PNT", "POINTS", "POINT"}},
    {"", "", "log(Wavenumber)", {"LGW"}}, // a logarithm: no unit
    {"Hz", "Hz", "Frequency", {"HZ"}},
};

std::string trimmed(std::string_view s) {
    const char *blanks = " \t\r\n";
    const size_t a = s.find_first_not_of(blanks);
    if (a == std::string_view::npos)
        return {};
    return std::string(s.substr(a, s.find_last_not_of(blanks) - a + 1));
}

// Whether `word` is `upper` in any ASCII letter case.
bool same_word(std::string_view word, std::string_view upper) {
    if (word.size() != upper.size())
        return false;
    for (size_t i = 0; i < word.size(); ++i) {
        const char c = word[i] >= 'a' && word[i] <= 'z' ? static_cast<char>(word[i] - 'a' + 'A') : word[i];
        if (c != upper[i])
            return false;
    }
    return true;
}

const UnitEntry *find_unit(std::string_view word) {
    const std::string w = trimmed(word);
    if (w.empty())
        return nullptr;
    for (const UnitEntry &u : kUnits)
        for (std::string_view spelling : u.words)
            if (!spelling.empty() && same_word(w, spelling))
                return &u;
    return nullptr;
}

// A parameter's text (empty when absent or not a text).
std::string text_of(const MergedParams &params, std::string_view code) {
    const Value *value = params.find(code);
    return value && std::holds_alternative<std::string>(*value) ? trimmed(std::get<std::string>(*value)) : std::string();
}

// The unit a label names in its last brackets ("Time (sec)", "Time [min]"), or the label
// itself when it is a unit.
const UnitEntry *unit_in_label(const std::string &label) {
    const size_t close = label.find_last_of(")]");
    if (close != std::string::npos) {
        const size_t open = label.find_last_of("([", close);
        if (open != std::string::npos)
            if (const UnitEntry *u = find_unit(std::string_view(label).substr(open + 1, close - open - 1)))
                return u;
    }
    return find_unit(label);
}

Unit unit_from(const UnitEntry *u) { return u ? Unit{std::string(u->udunits), std::string(u->display)} : Unit{}; }

// ------------------------------------------------------------------ quantities

struct QuantityEntry {
    std::string_view type, long_name, udunits; // udunits "1" for ratios, empty for counts of no unit
};

// What the values of each data block type are (the type without its sample or reference
// prefix and channel suffix).
constexpr QuantityEntry kQuantities[] = {
    {"AB", "Absorbance", "1"},
    {"TR", "Transmittance", "1"},
    {"REFL", "Reflectance", "1"},
    {"LREFL", "Log reflectance", "1"},
    {"KM", "Kubelka-Munk", "1"},
    {"ATR", "ATR", "1"},
    {"SC", "Single channel", ""},
    {"IFG", "Interferogram", ""},
    {"PH", "Phase", ""},
    {"POW", "Power spectrum", ""},
    {"RAM", "Raman intensity", ""},
    {"EMIS", "Emission", ""},
    {"PAS", "Photoacoustic", ""},
    {"TRC", "Trace", ""},
    {"TRARI", "TRARI", ""},
    {"ABARI", "ABARI", ""},
};

Quantity values_quantity(const std::string &type, const MergedParams &params) {
    std::string base = type;
    const bool ch2 = base.size() > 4 && base.ends_with("-CH2");
    if (ch2)
        base.resize(base.size() - 4);
    std::string prefix;
    const auto find = [](std::string_view t) -> const QuantityEntry * {
        for (const QuantityEntry &q : kQuantities)
            if (q.type == t)
                return &q;
        return nullptr;
    };
    const QuantityEntry *q = find(base);
    if (!q && base.size() > 1 && (base[0] == 'S' || base[0] == 'R') && find(base.substr(1))) {
        prefix = base[0] == 'S' ? "Sample " : "Reference ";
        q = find(base.substr(1));
    }
    Quantity out;
    if (q) {
        std::string name(q->long_name);
        if (!prefix.empty())
            name[0] = static_cast<char>(name[0] - 'A' + 'a');
        out.long_name = prefix + name;
        if (!q->udunits.empty())
            out.units = {std::string(q->udunits), ""};
    } else {
        out.long_name = base;
    }
    if (ch2)
        out.long_name += " (channel 2)";
    if (const std::string label = text_of(params, "YTX"); !label.empty())
        out.long_name = label;
    if (const UnitEntry *u = find_unit(text_of(params, "DYU")))
        out.units = unit_from(u);
    return out;
}

Coordinate spectral(const Plan &p) {
    const Description &d = p.d;
    const std::string code = text_of(p.parameters, "DXU");
    const UnitEntry *u = find_unit(code);
    Quantity q;
    q.units = unit_of(code);
    q.long_name = text_of(p.parameters, "XTX");
    if (q.long_name.empty() && u) {
        const bool raman = d.request.type.starts_with("RAM") && u->udunits == "cm-1";
        q.long_name = raman ? "Raman shift" : std::string(u->measures);
    }
    return axis("spectral", d.x, std::move(q));
}

} // namespace

Coordinate axis(std::string name, AxisRange range, Quantity q) {
    Coordinate c;
    c.name = std::move(name);
    c.axis = range;
    c.quantity = std::move(q);
    return c;
}

Coordinate per_row(std::string name, std::string field, Quantity q) {
    Coordinate c;
    c.name = std::move(name);
    c.row_info = std::move(field);
    c.quantity = std::move(q);
    return c;
}

Unit unit_of(std::string_view word) {
    if (const UnitEntry *u = find_unit(word))
        return unit_from(u);
    std::string w = trimmed(word);
    return {w, w};
}

void present(Plan &p) {
    Description &d = p.d;
    d.spectral = spectral(p);
    d.values = values_quantity(d.request.type, p.parameters);
    d.acquired = acquisition_time(text_of(p.parameters, "DAT"), text_of(p.parameters, "TIM"));
    if (d.acquired.date.empty() && d.acquired.time.empty())
        d.acquired.note.clear(); // nothing stated: nothing to say

    // Map positions: in the map units where the file states them.
    Presenter pr{p, {"map x", {}}, {"map y", {}}};
    if (const std::string mun = text_of(p.parameters, "MUN"); !mun.empty())
        pr.map_x.units = pr.map_y.units = unit_of(mun);
    kind_ops(d.kind).dims(pr);
}

void Presenter::dim(std::string name, size_t size, std::vector<Coordinate> coords, bool rows) {
    p.d.dims.push_back({std::move(name), size, rows, std::move(coords)});
}

void Presenter::spectral() { dim("spectral", p.d.x.count, {p.d.spectral}); }

void Presenter::labels(size_t size, bool rows) { dim("trace", size, {per_row("trace", "labels", {"Trace", {}})}, rows); }

Quantity Presenter::from_label(std::string_view code, const char *fallback) const {
    Quantity q{text_of(p.parameters, code), {}};
    q.units = unit_from(unit_in_label(q.long_name));
    if (q.long_name.empty())
        q.long_name = fallback;
    return q;
}

} // namespace orvelio
