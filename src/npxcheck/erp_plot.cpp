#include "npxcheck/erp_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "common/config.h"
#include "header/npx_reader.h"
#include "npxcheck/tree_check.h"
#include "output/binary_epoch_file.h"
#include "output/output_names.h"

namespace erp2npx::npxcheck {

namespace {

constexpr size_t kBlockEpochs = 256;
// Names an error lists before "... and N more".
constexpr size_t kListedNames = 10;

std::string withoutExtension(const std::string& name) {
  for (const char* extension : {".bin", ".npx"}) {
    const std::string suffix = extension;
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return name.substr(0, name.size() - suffix.size());
    }
  }
  return name;
}

// "a, b, c", or the first ten and "... and 5 more".
std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i == kListedNames) return text + " ... and " + std::to_string(names.size() - i) + " more";
    text += (i == 0 ? "" : ", ") + names[i];
  }
  return text;
}

// Running sums of one kind of epoch, taken about its first epoch so that the
// variance keeps its precision when the values lie far from zero.
struct EpochSums {
  uint64_t count = 0;
  std::vector<double> shift, sum, squares;

  void add(const float* epoch, size_t values) {
    if (count++ == 0) {
      shift.assign(epoch, epoch + values);
      sum.assign(values, 0.0);
      squares.assign(values, 0.0);
    }
    for (size_t v = 0; v < values; ++v) {
      const double deviation = epoch[v] - shift[v];
      sum[v] += deviation;
      squares[v] += deviation * deviation;
    }
  }

  void finish(std::vector<double>& mean, std::vector<double>& error) const {
    mean.assign(sum.size(), 0.0);
    error.assign(sum.size(), 0.0);
    const double n = static_cast<double>(count);
    for (size_t v = 0; v < sum.size(); ++v) {
      mean[v] = shift[v] + sum[v] / n;
      if (count < 2) continue;
      const double variance = std::max(0.0, (squares[v] - sum[v] * sum[v] / n) / (n - 1));
      error[v] = std::sqrt(variance / n);
    }
  }
};

struct Accumulator {
  ErpAverages& averages;
  EpochSums target, standard;

  bool addSession(const TreeFiles& tree, const std::string& stem, std::string& error) {
    EpochFileReader reader;
    const Status opened = reader.open(treePath(tree, stem + ".bin"));
    if (!opened.ok()) {
      error = stem + ".bin " + opened.reason();
      return false;
    }
    const EpochFileHeader& header = reader.header();
    if (averages.channels.empty()) averages.channels = header.channelNames;
    if (header.channelNames != averages.channels ||
        static_cast<int32_t>(header.channelNames.size()) != header.channelCount) {
      error = stem + ".bin has other channels than the sessions before it";
      return false;
    }
    if (reader.fileSize() != announcedFileSize(header)) {
      error = stem + ".bin does not hold the epochs its header announces";
      return false;
    }
    const SessionEventMap map =
        mapSessionEvents(readNpxFile(treePath(tree, stem + ".npx")), header.positions);
    const size_t values = epochValues(header);
    std::vector<float> block(kBlockEpochs * values);
    for (size_t first = 0; first < map.epochs.size(); first += kBlockEpochs) {
      const size_t count = std::min(kBlockEpochs, map.epochs.size() - first);
      if (reader.readEpochs(first, count, block.data()) != count) {
        error = stem + ".bin ends before its epoch " + std::to_string(first + count);
        return false;
      }
      for (size_t e = 0; e < count; ++e) {
        const EpochMarks& marks = map.epochs[first + e];
        if (marks.targetMarks + marks.standardMarks != 1) continue;
        (marks.targetMarks == 1 ? target : standard).add(block.data() + e * values, values);
      }
    }
    averages.sessions.push_back(stemName(stem));
    return true;
  }
};

bool chosen(const PlotChoice& choice, const std::string& name) {
  if (!choice.session.empty()) return name == withoutExtension(choice.session);
  if (choice.subject == 0) return true;
  const std::optional<SessionStem> parsed = parseSessionStem(name);
  return parsed && int64_t{parsed->subject} + 1 == choice.subject;
}

// Why nothing was chosen, with what there is to choose from.
std::string nothingChosen(const TreeFiles& tree, const PlotChoice& choice) {
  std::set<std::string> sessions;
  std::set<int64_t> subjects;
  for (const SessionFiles& files : tree.sessions) {
    if (!files.hasBin || !files.hasNpx) continue;
    const std::string name = stemName(files.relativeStem);
    sessions.insert(name);
    if (const std::optional<SessionStem> parsed = parseSessionStem(name)) {
      subjects.insert(int64_t{parsed->subject} + 1);
    }
  }
  if (sessions.empty()) return "no session files below " + tree.root;
  if (!choice.session.empty()) {
    return "no session " + withoutExtension(choice.session) + " below " + tree.root +
           "; its sessions: " + listed({sessions.begin(), sessions.end()});
  }
  std::vector<std::string> numbers;
  for (const int64_t subject : subjects) numbers.push_back(std::to_string(subject));
  return "no session of subject " + std::to_string(choice.subject) + " below " + tree.root +
         (numbers.empty() ? ", whose session names give no subject"
                          : "; its subjects: " + listed(numbers));
}

// ---------------------------------------------------------------- drawing

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string printed(const char* format, double value) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string tickLabel(double value) { return printed("%g", std::fabs(value) < 1e-9 ? 0.0 : value); }

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

constexpr const char* kMicrovolt = "\xC2\xB5V";
constexpr const char* kPlusMinus = " \xC2\xB1 ";
constexpr const char* kMinus = "\xE2\x88\x92";

// A step of 1, 2, 2.5 or 5 times a power of ten, near span / 5.
double niceStep(double span) {
  const double raw = span / 5.0;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double factor : {1.0, 2.0, 2.5, 5.0}) {
    if (raw <= factor * power) return factor * power;
  }
  return 10.0 * power;
}

struct Axis {
  double low = 0;
  double high = 1;
  double step = 1;
};

bool hasBoth(const ErpAverages& averages) {
  return averages.targetEpochs > 0 && averages.standardEpochs > 0;
}

// Holds both bands and the difference wave; zero stays in view.
Axis amplitudeAxis(const ErpAverages& averages) {
  double low = 0.0, high = 0.0;
  const auto include = [&](double value) {
    if (!std::isfinite(value)) return;
    low = std::min(low, value);
    high = std::max(high, value);
  };
  for (size_t v = 0; v < averages.target.size(); ++v) {
    if (averages.targetEpochs > 0) {
      include(averages.target[v] - averages.targetError[v]);
      include(averages.target[v] + averages.targetError[v]);
    }
    if (averages.standardEpochs > 0) {
      include(averages.standard[v] - averages.standardError[v]);
      include(averages.standard[v] + averages.standardError[v]);
    }
    if (hasBoth(averages)) include(averages.target[v] - averages.standard[v]);
  }
  if (high - low < 1e-6) high = low + 1.0;
  Axis axis;
  axis.step = niceStep(high - low);
  axis.low = std::floor(low / axis.step) * axis.step;
  axis.high = std::ceil(high / axis.step) * axis.step;
  return axis;
}

struct Panel {
  double left, top, width, height;
};

// The time axis starts before the flash so that its line stands clear of
// the frame; the last sample lies at 992 ms.
constexpr double kTimeStart = -50.0;
constexpr double kTimeEnd = 1000.0;
constexpr double kTimeStep = 200.0;
constexpr const char* kTargetColour = "#d62728";
constexpr const char* kStandardColour = "#1f77b4";
constexpr const char* kDifferenceColour = "#222222";

double sampleTime(size_t sample) { return 1000.0 * static_cast<double>(sample) / kEpochSamples; }

struct PanelDrawing {
  std::string& svg;
  const Panel& panel;
  const Axis& axis;
  const ErpAverages& averages;
  size_t channel;

  double x(double ms) const {
    return panel.left + (ms - kTimeStart) / (kTimeEnd - kTimeStart) * panel.width;
  }
  double y(double uv) const {
    return panel.top + (axis.high - std::clamp(uv, axis.low, axis.high)) / (axis.high - axis.low) *
                           panel.height;
  }
  double at(const std::vector<double>& wave, size_t t) const {
    return wave[t * averages.channels.size() + channel];
  }
  std::string point(size_t t, double uv) const {
    return number(x(sampleTime(t))) + "," + number(y(uv));
  }

  void line(const std::string& className, double x1, double y1, double x2, double y2,
            const std::string& style) {
    svg += "<line class=\"" + className + "\" x1=\"" + number(x1) + "\" y1=\"" + number(y1) +
           "\" x2=\"" + number(x2) + "\" y2=\"" + number(y2) + "\" " + style + "/>\n";
  }

  void grid() {
    svg += "<rect x=\"" + number(panel.left) + "\" y=\"" + number(panel.top) + "\" width=\"" +
           number(panel.width) + "\" height=\"" + number(panel.height) +
           "\" fill=\"#ffffff\" stroke=\"#444444\" stroke-width=\"1\"/>\n";
    const double bottom = panel.top + panel.height;
    for (double ms = 0; ms <= kTimeEnd + 1e-9; ms += kTimeStep) {
      line("grid", x(ms), panel.top, x(ms), bottom, "stroke=\"#e4e4e4\" stroke-width=\"1\"");
      svg += "<text x=\"" + number(x(ms)) + "\" y=\"" + number(bottom + 14) +
             "\" font-size=\"10\" text-anchor=\"middle\">" + tickLabel(ms) + "</text>\n";
    }
    for (double uv = axis.low; uv <= axis.high + axis.step * 1e-6; uv += axis.step) {
      const bool zero = std::fabs(uv) < axis.step * 1e-6;
      line(
          zero ? "zero" : "grid", panel.left, y(uv), panel.left + panel.width, y(uv),
          zero ? "stroke=\"#888888\" stroke-width=\"1\"" : "stroke=\"#e4e4e4\" stroke-width=\"1\"");
      svg += "<text x=\"" + number(panel.left - 5) + "\" y=\"" + number(y(uv) + 3.5) +
             "\" font-size=\"10\" text-anchor=\"end\">" + tickLabel(uv) + "</text>\n";
    }
    line("flash", x(0), panel.top, x(0), bottom,
         "stroke=\"#555555\" stroke-width=\"1.2\" stroke-dasharray=\"5 4\"");
  }

  // Mean plus one standard error forward, mean minus it back.
  void band(const std::string& className, const std::vector<double>& mean,
            const std::vector<double>& error, const char* colour) {
    std::string points;
    for (size_t t = 0; t < kEpochSamples; ++t) {
      points += (t == 0 ? "" : " ") + point(t, at(mean, t) + at(error, t));
    }
    for (size_t t = kEpochSamples; t-- > 0;) points += " " + point(t, at(mean, t) - at(error, t));
    svg += "<polygon class=\"" + className + "\" fill=\"" + colour +
           "\" fill-opacity=\"0.18\" stroke=\"none\" points=\"" + points + "\"/>\n";
  }

  void wave(const std::string& className, const std::vector<double>& values,
            const std::vector<double>* subtracted, const char* colour, const char* width) {
    std::string points;
    for (size_t t = 0; t < kEpochSamples; ++t) {
      const double value = at(values, t) - (subtracted != nullptr ? at(*subtracted, t) : 0.0);
      points += (t == 0 ? "" : " ") + point(t, value);
    }
    svg += "<polyline class=\"" + className + "\" fill=\"none\" stroke=\"" + colour +
           "\" stroke-width=\"" + width + "\" points=\"" + points + "\"/>\n";
  }

  void draw(const std::vector<DifferencePeak>& peaks) {
    svg += "<g class=\"panel\" id=\"panel-" + escaped(averages.channels[channel]) + "\">\n";
    grid();
    if (averages.standardEpochs > 0) {
      band("standard-band", averages.standard, averages.standardError, kStandardColour);
    }
    if (averages.targetEpochs > 0) {
      band("target-band", averages.target, averages.targetError, kTargetColour);
    }
    if (averages.standardEpochs > 0) {
      wave("standard", averages.standard, nullptr, kStandardColour, "1.5");
    }
    if (averages.targetEpochs > 0) wave("target", averages.target, nullptr, kTargetColour, "2");
    if (!peaks.empty()) {
      wave("difference", averages.target, &averages.standard, kDifferenceColour, "1.5");
      const DifferencePeak& peak = peaks[channel];
      svg += "<circle class=\"peak\" cx=\"" + number(x(peak.latencyMs)) + "\" cy=\"" +
             number(y(peak.amplitude)) + "\" r=\"3\" fill=\"" + kDifferenceColour + "\"/>\n";
    }
    svg += "<text x=\"" + number(x(0) + 6) + "\" y=\"" + number(panel.top + 16) +
           "\" font-size=\"13\" font-weight=\"bold\">" + escaped(averages.channels[channel]) +
           "</text>\n";
    svg += "</g>\n";
  }
};

std::string textAt(double x, double y, const std::string& text, const std::string& style = "") {
  return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" " +
         (style.empty() ? "font-size=\"12\"" : style) + ">" + text + "</text>";
}

// Under the panels: each channel's largest difference, with both means
// there.
std::string peakTable(const ErpAverages& averages, const std::vector<DifferencePeak>& peaks,
                      double left, double top) {
  constexpr double kRow = 18;
  // The channel left-aligned, the numbers right-aligned under their heads.
  const double columns[] = {left, left + 200, left + 340, left + 520, left + 700};
  const auto cell = [&](size_t column, double y, const std::string& text) {
    return textAt(columns[column], y, text,
                  column == 0 ? "" : "font-size=\"12\" text-anchor=\"end\"");
  };
  std::string svg = "<g class=\"peaks\">\n";
  svg += textAt(left, top,
                "Largest difference target " + std::string(kMinus) + " standard per channel",
                "font-size=\"13\" font-weight=\"bold\"") +
         "\n";
  if (peaks.empty()) {
    svg += textAt(left, top + kRow,
                  std::string("none: there are no ") +
                      (averages.targetEpochs == 0 ? "target" : "standard") + " epochs") +
           "\n</g>\n";
    return svg;
  }
  const std::string heads[] = {"channel", "latency (ms)",
                               "difference (" + std::string(kMicrovolt) + ")",
                               "target there (" + std::string(kMicrovolt) + ")",
                               "standard there (" + std::string(kMicrovolt) + ")"};
  svg += "<g class=\"peak-head\" fill=\"#444444\">";
  for (size_t i = 0; i < 5; ++i) svg += cell(i, top + kRow, heads[i]);
  svg += "</g>\n";
  const size_t channels = averages.channels.size();
  for (size_t c = 0; c < channels; ++c) {
    const DifferencePeak& peak = peaks[c];
    const size_t v = peak.sample * channels + c;
    const std::string cells[] = {
        escaped(averages.channels[c]), printed("%.7g", peak.latencyMs),
        printed("%+.2f", peak.amplitude),
        printed("%.2f", averages.target[v]) + kPlusMinus + printed("%.2f", averages.targetError[v]),
        printed("%.2f", averages.standard[v]) + kPlusMinus +
            printed("%.2f", averages.standardError[v])};
    const double y = top + kRow * static_cast<double>(c + 2);
    svg += "<g class=\"peak-row\">";
    for (size_t i = 0; i < 5; ++i) svg += cell(i, y, cells[i]);
    svg += "</g>\n";
  }
  return svg + "</g>\n";
}

}  // namespace

Status averageEpochs(const TreeFiles& tree, const PlotChoice& choice, ErpAverages& averages) {
  averages = ErpAverages{};
  averages.subject = choice.session.empty() ? choice.subject : 0;
  Accumulator sums{averages, {}, {}};
  std::string error;
  for (const SessionFiles& files : tree.sessions) {
    if (!files.hasBin || !files.hasNpx || !chosen(choice, stemName(files.relativeStem))) continue;
    if (!sums.addSession(tree, files.relativeStem, error)) return Status::failed(error);
  }
  if (averages.sessions.empty()) return Status::failed(nothingChosen(tree, choice));
  if (sums.target.count + sums.standard.count == 0) {
    return Status::failed("no epoch marked Target or Standard in " +
                          countOf(averages.sessions.size(), "session", "sessions"));
  }
  const size_t values = averages.channels.size() * kEpochSamples;
  averages.targetEpochs = sums.target.count;
  averages.standardEpochs = sums.standard.count;
  sums.target.finish(averages.target, averages.targetError);
  sums.standard.finish(averages.standard, averages.standardError);
  // A kind without epochs averages to zeros of the right size.
  for (std::vector<double>* wave :
       {&averages.target, &averages.targetError, &averages.standard, &averages.standardError}) {
    wave->resize(values, 0.0);
  }
  return Status::done();
}

std::vector<DifferencePeak> differencePeaks(const ErpAverages& averages) {
  std::vector<DifferencePeak> peaks;
  if (!hasBoth(averages)) return peaks;
  const size_t channels = averages.channels.size();
  for (size_t c = 0; c < channels; ++c) {
    DifferencePeak peak;
    double largest = -1.0;
    for (size_t t = 0; t < kEpochSamples; ++t) {
      const double difference =
          averages.target[t * channels + c] - averages.standard[t * channels + c];
      if (std::fabs(difference) > largest) {
        largest = std::fabs(difference);
        peak = DifferencePeak{t, sampleTime(t), difference};
      }
    }
    peaks.push_back(peak);
  }
  return peaks;
}

std::string renderErpSvg(const ErpAverages& averages) {
  constexpr double kWidth = 1100, kPlotHeight = 640;
  constexpr double kLeft = 90, kRight = 40, kTop = 110, kBottom = 70;
  constexpr double kGapX = 45, kGapY = 60;
  constexpr size_t kColumns = 4;
  const size_t channels = averages.channels.size();
  const size_t rows = std::max<size_t>(1, (channels + kColumns - 1) / kColumns);
  const double panelWidth = (kWidth - kLeft - kRight - kGapX * (kColumns - 1)) / kColumns;
  const double panelHeight =
      (kPlotHeight - kTop - kBottom - kGapY * static_cast<double>(rows - 1)) /
      static_cast<double>(rows);
  const double tableTop = kPlotHeight + 10;
  const double height = tableTop + 18.0 * static_cast<double>(channels + 2) + 30;
  const Axis axis = amplitudeAxis(averages);
  const std::vector<DifferencePeak> peaks = differencePeaks(averages);

  const std::string sessions = countOf(averages.sessions.size(), "session", "sessions");
  const std::string title =
      averages.sessions.size() == 1 ? "Average ERP of " + averages.sessions.front()
      : averages.subject != 0
          ? "Average ERP of subject " + std::to_string(averages.subject) + ", " + sessions
          : "Average ERP of " + sessions;
  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" +
      number(kWidth) + "\" height=\"" + number(height) + "\" viewBox=\"0 0 " + number(kWidth) +
      " " + number(height) + "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\">\n";
  svg += "<title>" + escaped(title) + "</title>\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#fafafa\"/>\n";
  svg += "<text x=\"" + number(kLeft) + "\" y=\"34\" font-size=\"20\" font-weight=\"bold\">" +
         escaped(title) + "</text>\n";
  svg += "<text x=\"" + number(kLeft) + "\" y=\"58\" font-size=\"13\" fill=\"#444444\">" +
         std::to_string(averages.targetEpochs) + " target and " +
         std::to_string(averages.standardEpochs) + " standard epochs, " +
         std::to_string(kEpochSamples) + " samples per second; shading: mean" + kPlusMinus +
         "one standard error</text>\n";

  const std::pair<std::string, std::string> entries[] = {
      {kTargetColour, "Target (n=" + std::to_string(averages.targetEpochs) + ")"},
      {kStandardColour, "Standard (n=" + std::to_string(averages.standardEpochs) + ")"},
      {kDifferenceColour, std::string("Target ") + kMinus + " Standard"}};
  for (size_t i = 0; i < 3; ++i) {
    const double x = kLeft + 190.0 * static_cast<double>(i);
    svg += "<g class=\"legend\"><line x1=\"" + number(x) + "\" y1=\"80\" x2=\"" + number(x + 24) +
           "\" y2=\"80\" stroke=\"" + entries[i].first + "\" stroke-width=\"3\"/>";
    svg += "<text x=\"" + number(x + 30) + "\" y=\"84\" font-size=\"12\">" +
           escaped(entries[i].second) + "</text></g>\n";
  }
  const double flashX = kLeft + 3 * 190.0;
  svg += "<g class=\"legend\"><line x1=\"" + number(flashX) + "\" y1=\"74\" x2=\"" +
         number(flashX) + "\" y2=\"88\" stroke=\"#555555\" stroke-dasharray=\"5 4\"/>";
  svg += "<text x=\"" + number(flashX + 8) + "\" y=\"84\" font-size=\"12\">flash</text></g>\n";

  for (size_t c = 0; c < channels; ++c) {
    const Panel panel{kLeft + static_cast<double>(c % kColumns) * (panelWidth + kGapX),
                      kTop + static_cast<double>(c / kColumns) * (panelHeight + kGapY), panelWidth,
                      panelHeight};
    PanelDrawing{svg, panel, axis, averages, c}.draw(peaks);
  }
  const double gridBottom = kPlotHeight - kBottom;
  svg += "<text x=\"" + number(kLeft + (kWidth - kLeft - kRight) / 2) + "\" y=\"" +
         number(gridBottom + 45) +
         "\" font-size=\"13\" text-anchor=\"middle\">time after flash onset (ms)</text>\n";
  const double middle = kTop + (gridBottom - kTop) / 2;
  svg += "<text x=\"28\" y=\"" + number(middle) + "\" font-size=\"13\" text-anchor=\"middle\" " +
         "transform=\"rotate(-90 28 " + number(middle) + ")\">amplitude (" + kMicrovolt +
         ")</text>\n";
  svg += peakTable(averages, peaks, kLeft, tableTop);
  svg += "</svg>\n";
  return svg;
}

}  // namespace erp2npx::npxcheck
