#include "check/erp_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "check/epoch_file.h"
#include "check/npx_file.h"
#include "check/tree_check.h"
#include "driver/config.h"

namespace erp2npx::check {

namespace {

constexpr size_t kBlockEpochs = 256;

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

bool addSession(const TreeFiles& tree, const std::string& stem, ErpAverages& averages,
                std::string& error) {
  EpochFileReader reader;
  if (!openEpochFile(treePath(tree, stem + ".bin"), reader, error)) {
    error = stem + ".bin " + error;
    return false;
  }
  const EpochFileHeader& header = reader.header;
  if (averages.channels.empty()) {
    averages.channels = header.channelNames;
    averages.target.assign(epochValues(header), 0.0);
    averages.standard.assign(epochValues(header), 0.0);
  }
  if (header.channelNames != averages.channels ||
      static_cast<int32_t>(header.channelNames.size()) != header.channelCount) {
    error = stem + ".bin has other channels than the sessions before it";
    return false;
  }
  if (reader.fileSize != announcedFileSize(header)) {
    error = stem + ".bin does not hold the epochs its header announces";
    return false;
  }
  const SessionEventMap map =
      mapSessionEvents(readNpxFile(treePath(tree, stem + ".npx")), header.positions);
  const size_t values = epochValues(header);
  std::vector<float> block(kBlockEpochs * values);
  for (size_t first = 0; first < map.epochs.size(); first += kBlockEpochs) {
    const size_t count = std::min(kBlockEpochs, map.epochs.size() - first);
    if (readEpochBlock(reader, first, count, block.data()) != count) {
      error = stem + ".bin ends before its epoch " + std::to_string(first + count);
      return false;
    }
    for (size_t e = 0; e < count; ++e) {
      const EpochMarks& marks = map.epochs[first + e];
      if (marks.targetMarks + marks.standardMarks != 1) continue;
      const bool target = marks.targetMarks == 1;
      std::vector<double>& sums = target ? averages.target : averages.standard;
      ++(target ? averages.targetEpochs : averages.standardEpochs);
      const float* epoch = block.data() + e * values;
      for (size_t v = 0; v < values; ++v) sums[v] += epoch[v];
    }
  }
  averages.sessions.push_back(stemName(stem));
  return true;
}

// ---------------------------------------------------------------- drawing

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string tickLabel(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", std::fabs(value) < 1e-9 ? 0.0 : value);
  return text;
}

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

Axis amplitudeAxis(const ErpAverages& averages) {
  double low = 0.0, high = 0.0;  // zero stays in view
  for (const std::vector<double>* means : {&averages.target, &averages.standard}) {
    if ((means == &averages.target ? averages.targetEpochs : averages.standardEpochs) == 0)
      continue;
    for (const double value : *means) {
      if (!std::isfinite(value)) continue;
      low = std::min(low, value);
      high = std::max(high, value);
    }
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

constexpr double kTimeEnd = 1000.0;  // ms; the last sample lies at 992
constexpr double kTimeStep = 200.0;
constexpr const char* kTargetColour = "#d62728";
constexpr const char* kStandardColour = "#1f77b4";

void drawPanel(std::string& svg, const Panel& panel, const Axis& axis, const ErpAverages& averages,
               size_t channel) {
  const auto x = [&](double ms) { return panel.left + ms / kTimeEnd * panel.width; };
  const auto y = [&](double uv) {
    return panel.top + (axis.high - uv) / (axis.high - axis.low) * panel.height;
  };
  svg += "<g class=\"panel\" id=\"panel-" + escaped(averages.channels[channel]) + "\">\n";
  svg += "<rect x=\"" + number(panel.left) + "\" y=\"" + number(panel.top) + "\" width=\"" +
         number(panel.width) + "\" height=\"" + number(panel.height) +
         "\" fill=\"#ffffff\" stroke=\"#444444\" stroke-width=\"1\"/>\n";
  for (double ms = 0; ms <= kTimeEnd + 1e-9; ms += kTimeStep) {
    svg += "<line x1=\"" + number(x(ms)) + "\" y1=\"" + number(panel.top) + "\" x2=\"" +
           number(x(ms)) + "\" y2=\"" + number(panel.top + panel.height) +
           "\" stroke=\"#e4e4e4\" stroke-width=\"1\"/>\n";
    svg += "<text x=\"" + number(x(ms)) + "\" y=\"" + number(panel.top + panel.height + 14) +
           "\" font-size=\"10\" text-anchor=\"middle\">" + tickLabel(ms) + "</text>\n";
  }
  for (double uv = axis.low; uv <= axis.high + axis.step * 1e-6; uv += axis.step) {
    svg += "<line x1=\"" + number(panel.left) + "\" y1=\"" + number(y(uv)) + "\" x2=\"" +
           number(panel.left + panel.width) + "\" y2=\"" + number(y(uv)) + "\" stroke=\"" +
           (std::fabs(uv) < axis.step * 1e-6 ? "#888888\" stroke-dasharray=\"4 3" : "#e4e4e4") +
           "\" stroke-width=\"1\"/>\n";
    svg += "<text x=\"" + number(panel.left - 5) + "\" y=\"" + number(y(uv) + 3.5) +
           "\" font-size=\"10\" text-anchor=\"end\">" + tickLabel(uv) + "</text>\n";
  }
  const size_t channels = averages.channels.size();
  for (const bool target : {false, true}) {
    if ((target ? averages.targetEpochs : averages.standardEpochs) == 0) continue;
    const std::vector<double>& means = target ? averages.target : averages.standard;
    std::string points;
    for (int32_t t = 0; t < kEpochSamples; ++t) {
      const double ms = 1000.0 * t / kEpochSamples;
      const double value =
          std::clamp(means[static_cast<size_t>(t) * channels + channel], axis.low, axis.high);
      points += (t == 0 ? "" : " ") + number(x(ms)) + "," + number(y(value));
    }
    svg += std::string("<polyline fill=\"none\" stroke=\"") +
           (target ? kTargetColour : kStandardColour) + "\" stroke-width=\"" +
           (target ? "2" : "1.5") + "\" points=\"" + points + "\"/>\n";
  }
  svg += "<text x=\"" + number(panel.left + 6) + "\" y=\"" + number(panel.top + 16) +
         "\" font-size=\"13\" font-weight=\"bold\">" + escaped(averages.channels[channel]) +
         "</text>\n";
  svg += "</g>\n";
}

}  // namespace

bool averageEpochs(const TreeFiles& tree, const std::string& session, ErpAverages& averages,
                   std::string& error) {
  averages = ErpAverages{};
  const std::string wanted = withoutExtension(session);
  bool found = false;
  for (const SessionFiles& files : tree.sessions) {
    if (!files.hasBin || !files.hasNpx) continue;
    if (!wanted.empty() && stemName(files.relativeStem) != wanted) continue;
    found = true;
    if (!addSession(tree, files.relativeStem, averages, error)) return false;
  }
  if (!found) {
    error = wanted.empty() ? "no session files below " + tree.root
                           : "no session " + wanted + " below " + tree.root;
    return false;
  }
  if (averages.targetEpochs + averages.standardEpochs == 0) {
    error = "no epoch marked Target or Standard in " + std::to_string(averages.sessions.size()) +
            " sessions";
    return false;
  }
  for (double& sum : averages.target) sum /= std::max<uint64_t>(averages.targetEpochs, 1);
  for (double& sum : averages.standard) sum /= std::max<uint64_t>(averages.standardEpochs, 1);
  return true;
}

std::string renderErpSvg(const ErpAverages& averages) {
  constexpr double kWidth = 1100, kHeight = 620;
  constexpr double kLeft = 90, kRight = 40, kTop = 100, kBottom = 70;
  constexpr double kGapX = 45, kGapY = 60;
  constexpr size_t kColumns = 4;
  const size_t channels = averages.channels.size();
  const size_t rows = (channels + kColumns - 1) / kColumns;
  const double panelWidth = (kWidth - kLeft - kRight - kGapX * (kColumns - 1)) / kColumns;
  const double panelHeight = (kHeight - kTop - kBottom - kGapY * static_cast<double>(rows - 1)) /
                             static_cast<double>(rows);
  const Axis axis = amplitudeAxis(averages);

  const std::string title =
      averages.sessions.size() == 1
          ? "Average ERP of " + averages.sessions.front()
          : "Average ERP of " + std::to_string(averages.sessions.size()) + " sessions";
  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" +
      number(kWidth) + "\" height=\"" + number(kHeight) + "\" viewBox=\"0 0 " + number(kWidth) +
      " " + number(kHeight) + "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\">\n";
  svg += "<title>" + escaped(title) + "</title>\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#fafafa\"/>\n";
  svg += "<text x=\"" + number(kLeft) + "\" y=\"34\" font-size=\"20\" font-weight=\"bold\">" +
         escaped(title) + "</text>\n";
  svg += "<text x=\"" + number(kLeft) + "\" y=\"58\" font-size=\"13\" fill=\"#444444\">" +
         std::to_string(averages.targetEpochs) + " target and " +
         std::to_string(averages.standardEpochs) + " standard epochs, " +
         std::to_string(kEpochSamples) + " samples per second</text>\n";

  // Legend, top right.
  const double legendX = kWidth - kRight - 300;
  const std::pair<const char*, std::string> entries[] = {
      {kTargetColour, "Target (n=" + std::to_string(averages.targetEpochs) + ")"},
      {kStandardColour, "Standard (n=" + std::to_string(averages.standardEpochs) + ")"}};
  for (size_t i = 0; i < 2; ++i) {
    const double x = legendX + 145.0 * static_cast<double>(i);
    svg += "<g class=\"legend\"><line x1=\"" + number(x) + "\" y1=\"54\" x2=\"" + number(x + 24) +
           "\" y2=\"54\" stroke=\"" + entries[i].first + "\" stroke-width=\"3\"/>";
    svg += "<text x=\"" + number(x + 30) + "\" y=\"58\" font-size=\"12\">" +
           escaped(entries[i].second) + "</text></g>\n";
  }

  for (size_t c = 0; c < channels; ++c) {
    const Panel panel{kLeft + static_cast<double>(c % kColumns) * (panelWidth + kGapX),
                      kTop + static_cast<double>(c / kColumns) * (panelHeight + kGapY), panelWidth,
                      panelHeight};
    drawPanel(svg, panel, axis, averages, c);
  }
  const double gridBottom = kHeight - kBottom;
  svg += "<text x=\"" + number(kLeft + (kWidth - kLeft - kRight) / 2) + "\" y=\"" +
         number(gridBottom + 45) +
         "\" font-size=\"13\" text-anchor=\"middle\">time after flash onset (ms)</text>\n";
  const double middle = kTop + (gridBottom - kTop) / 2;
  svg += "<text x=\"28\" y=\"" + number(middle) + "\" font-size=\"13\" text-anchor=\"middle\" " +
         "transform=\"rotate(-90 28 " + number(middle) + ")\">amplitude (\xC2\xB5V)</text>\n";
  svg += "</svg>\n";
  return svg;
}

}  // namespace erp2npx::check
