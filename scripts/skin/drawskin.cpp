// Draws the program's skin images: window frame pieces, caption buttons, push-button strips,
// the program icon, the tray animation frames and the list's file-type strip.
// Run through scripts/skin/redraw.sh; writes PNG files into the folder given as argument.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>
#include <cstdio>

namespace {

QString g_out;

// One look for the whole program.
const QColor kKey(0, 0, 0);                // cut away from the window outline
const QColor kOutline(52, 60, 78);         // outermost frame line
const QColor kBrand(50, 82, 143);          // caption text, glyphs, focus
const QColor kBody(192, 192, 192);         // dialog body
const QColor kLight(236, 236, 236);
const QColor kShade(150, 150, 150);
const QColor kWhiteKey(255, 255, 255);     // transparent colour of button and icon strips

bool Save(const QImage& image, const QString& name) {
  const QString path = g_out + "/" + name;
  if (!image.save(path, "PNG")) {
    std::fprintf(stderr, "drawskin: cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

QImage NewImage(int w, int h, const QColor& fill) {
  QImage image(w, h, QImage::Format_ARGB32);
  image.fill(fill);
  return image;
}

// --- window frame ----------------------------------------------------------------------------

// The caption as one 41×31 image (8 + 25 + 8), cut into its three pieces.
void Caption(bool active) {
  const int w = 41, h = 31, r = 7;
  QImage image = NewImage(w, h, kKey);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath shape;
  shape.moveTo(0, h);
  shape.lineTo(0, r);
  shape.arcTo(0, 0, 2 * r, 2 * r, 180, -90);
  shape.lineTo(w - r, 0);
  shape.arcTo(w - 2 * r, 0, 2 * r, 2 * r, 90, -90);
  shape.lineTo(w, h);
  shape.closeSubpath();
  QLinearGradient g(0, 0, 0, h);
  if (active) {
    g.setColorAt(0.0, QColor(250, 252, 255));
    g.setColorAt(0.45, QColor(226, 233, 245));
    g.setColorAt(1.0, QColor(188, 201, 224));
  } else {
    g.setColorAt(0.0, QColor(246, 246, 246));
    g.setColorAt(0.45, QColor(228, 228, 228));
    g.setColorAt(1.0, QColor(204, 204, 204));
  }
  p.fillPath(shape, kOutline);
  p.fillPath(shape.translated(0, 0), Qt::NoBrush);
  QPainterPath inner;
  inner.moveTo(1, h);
  inner.lineTo(1, r);
  inner.arcTo(1, 1, 2 * (r - 1), 2 * (r - 1), 180, -90);
  inner.lineTo(w - r, 1);
  inner.arcTo(w - 1 - 2 * (r - 1), 1, 2 * (r - 1), 2 * (r - 1), 90, -90);
  inner.lineTo(w - 1, h);
  inner.closeSubpath();
  p.fillPath(inner, g);
  p.setRenderHint(QPainter::Antialiasing, false);
  // A lit top edge and the line that parts the caption from the body.
  p.setPen(active ? QColor(255, 255, 255) : QColor(252, 252, 252));
  p.drawLine(r, 1, w - r - 1, 1);
  p.setPen(active ? QColor(120, 136, 166) : QColor(150, 150, 150));
  p.drawLine(1, h - 1, w - 2, h - 1);
  p.end();
  const QString prefix = active ? "caption_" : "caption_inactive_";
  Save(image.copy(0, 0, 8, h), prefix + "left.png");
  Save(image.copy(8, 0, 25, h), prefix + "middle.png");
  Save(image.copy(33, 0, 8, h), prefix + "right.png");
}

// Border columns from the outside in, left side; the right side mirrors them.
const QColor kBorderColumns[5] = {kOutline, kLight, QColor(214, 214, 214), QColor(200, 200, 200),
                                  QColor(168, 168, 168)};

void Borders() {
  QImage left = NewImage(5, 8, kBody);
  QImage right = NewImage(5, 8, kBody);
  for (int x = 0; x < 5; ++x)
    for (int y = 0; y < 8; ++y) {
      left.setPixelColor(x, y, kBorderColumns[x]);
      right.setPixelColor(4 - x, y, x == 1 ? QColor(200, 200, 200) : kBorderColumns[x]);
    }
  Save(left, "border_left.png");
  Save(right, "border_right.png");
}

// The bottom bar as one 41×25 image with rounded lower corners.
void Bottom() {
  const int w = 41, h = 25, r = 5;
  QImage image = NewImage(w, h, kKey);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath shape;
  shape.moveTo(0, 0);
  shape.lineTo(w, 0);
  shape.lineTo(w, h - r);
  shape.arcTo(w - 2 * r, h - 2 * r, 2 * r, 2 * r, 0, -90);
  shape.lineTo(r, h);
  shape.arcTo(0, h - 2 * r, 2 * r, 2 * r, 270, -90);
  shape.closeSubpath();
  p.fillPath(shape, kOutline);
  QPainterPath inner;
  inner.moveTo(1, 0);
  inner.lineTo(w - 1, 0);
  inner.lineTo(w - 1, h - r);
  inner.arcTo(w - 1 - 2 * (r - 1), h - 1 - 2 * (r - 1), 2 * (r - 1), 2 * (r - 1), 0, -90);
  inner.lineTo(r, h - 1);
  inner.arcTo(1, h - 1 - 2 * (r - 1), 2 * (r - 1), 2 * (r - 1), 270, -90);
  inner.closeSubpath();
  QLinearGradient g(0, 0, 0, h);
  g.setColorAt(0.0, QColor(212, 212, 212));
  g.setColorAt(1.0, QColor(184, 184, 184));
  p.fillPath(inner, g);
  p.setRenderHint(QPainter::Antialiasing, false);
  // Continues the side borders' lit column and parts the bar from the body.
  p.setPen(kLight);
  p.drawLine(1, 0, 1, h - r);
  p.setPen(QColor(168, 168, 168));
  p.drawLine(1, 0, w - 2, 0);
  p.setPen(QColor(236, 236, 236));
  p.drawLine(2, 1, w - 3, 1);
  p.end();
  Save(image.copy(0, 0, 8, h), "bottom_left.png");
  Save(image.copy(8, 0, 25, h), "bottom_middle.png");
  Save(image.copy(33, 0, 8, h), "bottom_right.png");
}

// --- caption buttons -------------------------------------------------------------------------

enum Glyph { kGlyphMin, kGlyphMax, kGlyphRestore, kGlyphClose };

void DrawGlyph(QPainter& p, Glyph glyph, const QColor& c, QPointF o) {
  p.save();
  p.translate(o);
  p.setBrush(Qt::NoBrush);
  switch (glyph) {
    case kGlyphMin:
      p.fillRect(QRectF(4, 10, 7, 2), c);
      break;
    case kGlyphMax:
      p.setPen(QPen(c, 1));
      p.drawRect(QRectF(4.5, 4.5, 6, 6));
      p.fillRect(QRectF(4, 4, 7, 2), c);
      break;
    case kGlyphRestore:
      p.setPen(QPen(c, 1));
      p.drawRect(QRectF(6.5, 3.5, 5, 5));
      p.fillRect(QRectF(6, 3, 6, 2), c);
      p.fillRect(QRectF(3, 6, 6, 6), QColor(0, 0, 0, 0));
      p.setCompositionMode(QPainter::CompositionMode_Source);
      p.setCompositionMode(QPainter::CompositionMode_SourceOver);
      p.drawRect(QRectF(3.5, 6.5, 5, 5));
      p.fillRect(QRectF(3, 6, 6, 2), c);
      break;
    case kGlyphClose: {
      p.setRenderHint(QPainter::Antialiasing);
      p.setPen(QPen(c, 1.7, Qt::SolidLine, Qt::FlatCap));
      p.drawLine(QPointF(4.2, 4.7), QPointF(10.8, 11.3));
      p.drawLine(QPointF(10.8, 4.7), QPointF(4.2, 11.3));
      break;
    }
  }
  p.restore();
}

// One 15×16 state: a rounded face with the glyph. state 0 normal, 1 mouse-over, 2 pressed.
QImage CaptionButtonFace(Glyph glyph, int state, bool danger) {
  QImage image = NewImage(15, 16, QColor(0, 0, 0, 0));
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF face(0.5, 0.5, 14, 15);
  QLinearGradient g(0, 0, 0, 16);
  QColor border, glyphColor = kBrand;
  if (state == 0) {
    g.setColorAt(0, QColor(255, 255, 255));
    g.setColorAt(1, QColor(214, 222, 236));
    border = QColor(124, 140, 170);
    // Close keeps the family look at rest and shows its weight only under the mouse.
    if (danger) glyphColor = QColor(168, 44, 34);
  } else if (danger) {
    g.setColorAt(0, state == 1 ? QColor(236, 110, 96) : QColor(176, 52, 40));
    g.setColorAt(1, state == 1 ? QColor(190, 50, 38) : QColor(206, 82, 68));
    border = QColor(120, 30, 24);
    glyphColor = QColor(252, 252, 252);
  } else if (state == 1) {
    g.setColorAt(0, QColor(255, 255, 255));
    g.setColorAt(1, QColor(190, 210, 242));
    border = kBrand;
  } else {
    g.setColorAt(0, QColor(168, 186, 220));
    g.setColorAt(1, QColor(222, 230, 244));
    border = QColor(36, 58, 104);
  }
  p.setPen(QPen(border, 1));
  p.setBrush(g);
  p.drawRoundedRect(face, 3, 3);
  p.setRenderHint(QPainter::Antialiasing, false);
  DrawGlyph(p, glyph, glyphColor, state == 2 ? QPointF(0.0, 1.0) : QPointF(0, 0));
  return image;
}

void CaptionButtons() {
  auto strip = [](std::initializer_list<QImage> faces, const QString& name) {
    QImage image = NewImage(15, 16 * static_cast<int>(faces.size()), QColor(0, 0, 0, 0));
    QPainter p(&image);
    int y = 0;
    for (const QImage& f : faces) {
      p.drawImage(0, y, f);
      y += 16;
    }
    p.end();
    Save(image, name);
  };
  strip({CaptionButtonFace(kGlyphMin, 0, false), CaptionButtonFace(kGlyphMin, 1, false),
         CaptionButtonFace(kGlyphMin, 2, false)}, "btn_minimize.png");
  strip({CaptionButtonFace(kGlyphMax, 0, false), CaptionButtonFace(kGlyphMax, 1, false),
         CaptionButtonFace(kGlyphMax, 2, false), CaptionButtonFace(kGlyphRestore, 0, false),
         CaptionButtonFace(kGlyphRestore, 1, false), CaptionButtonFace(kGlyphRestore, 2, false)},
        "btn_maximize.png");
  strip({CaptionButtonFace(kGlyphClose, 0, true), CaptionButtonFace(kGlyphClose, 1, true),
         CaptionButtonFace(kGlyphClose, 2, true)}, "btn_close.png");
}

// --- the program's mark ----------------------------------------------------------------------

// A hexagonal shell (the turtle the name comes from) carrying a play mark, on a square of
// side `s`. `tone` 0 normal, 1 lit, 2 pressed, 3 inactive (grey), 4 faded.
void DrawMark(QPainter& p, qreal s, int tone, bool detail) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  const QPointF c(s / 2, s / 2);
  const qreal R = s * 0.49;
  QPolygonF hex;
  for (int i = 0; i < 6; ++i) {
    const qreal a = (60.0 * i - 90.0) * M_PI / 180.0;
    hex << QPointF(c.x() + R * std::cos(a), c.y() + R * 1.0 * std::sin(a));
  }
  QColor top(96, 140, 210), bottom(34, 60, 116), rim(26, 44, 86);
  if (tone == 1) { top = QColor(126, 168, 234); bottom = QColor(50, 82, 143); }
  if (tone == 2) { top = QColor(40, 66, 122); bottom = QColor(84, 124, 192); }
  if (tone == 3) { top = QColor(176, 176, 176); bottom = QColor(120, 120, 120); rim = QColor(96, 96, 96); }
  if (tone == 4) { top = QColor(214, 214, 214); bottom = QColor(170, 170, 170); rim = QColor(150, 150, 150); }
  QLinearGradient g(0, c.y() - R, 0, c.y() + R);
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  p.setPen(QPen(rim, qMax<qreal>(1.0, s / 40.0)));
  p.setBrush(g);
  p.drawPolygon(hex);
  if (detail) {
    // The shell's inner plate.
    QPolygonF plate;
    for (const QPointF& v : hex) plate << c + (v - c) * 0.74;
    p.setPen(QPen(QColor(255, 255, 255, 70), s / 64.0));
    p.setBrush(Qt::NoBrush);
    p.drawPolygon(plate);
  }
  // The play mark, slightly right of centre so that it looks centred.
  const qreal t = s * 0.42;
  QPolygonF play;
  play << QPointF(c.x() - t * 0.36, c.y() - t * 0.5) << QPointF(c.x() - t * 0.36, c.y() + t * 0.5)
       << QPointF(c.x() + t * 0.52, c.y());
  p.setPen(detail ? QPen(QColor(250, 250, 250), s / 40.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin)
                  : Qt::NoPen);
  p.setBrush(tone >= 3 ? QColor(246, 246, 246) : QColor(250, 250, 250));
  p.drawPolygon(play);
  p.restore();
}

void ProgramIcons() {
  for (int size : {16, 32, 48, 256}) {
    QImage image = NewImage(size, size, QColor(0, 0, 0, 0));
    QPainter p(&image);
    DrawMark(p, size, 0, size >= 32);
    p.end();
    Save(image, QString("icon_%1.png").arg(size));
  }
}

// The logo at the caption's left: five 14×14 states (normal, lit, pressed, inactive, faded).
void Logo() {
  QImage image = NewImage(14, 70, QColor(0, 0, 0, 0));
  QPainter p(&image);
  for (int i = 0; i < 5; ++i) {
    p.save();
    p.translate(0, 14 * i);
    DrawMark(p, 14, i, false);
    p.restore();
  }
  p.end();
  Save(image, "btn_logo.png");
}

// Nine frames: the mark with a light that circles the shell, 40 degrees a frame.
void TrayFrames() {
  for (int frame = 0; frame < 9; ++frame)
    for (int size : {16, 32}) {
      QImage image = NewImage(size, size, QColor(0, 0, 0, 0));
      QPainter p(&image);
      DrawMark(p, size, 0, size >= 32);
      p.setRenderHint(QPainter::Antialiasing);
      const qreal a = (40.0 * frame - 90.0) * M_PI / 180.0;
      const QPointF c(size / 2.0, size / 2.0);
      // At 16 pixels the light has to be big enough to read as moving.
      const qreal orbit = size * (size <= 16 ? 0.34 : 0.36);
      const qreal dot = size * (size <= 16 ? 0.19 : 0.15);
      // A fading tail behind the light shows the direction of travel.
      for (int k = 2; k >= 0; --k) {
        const qreal b = a - k * 0.42;
        const QPointF at(c.x() + orbit * std::cos(b), c.y() + orbit * std::sin(b));
        QColor col(255, 176, 48, k == 0 ? 255 : (k == 1 ? 150 : 80));
        p.setPen(k == 0 ? QPen(QColor(150, 80, 10), qMax<qreal>(0.8, size / 28.0)) : Qt::NoPen);
        p.setBrush(col);
        const qreal d = dot * (k == 0 ? 1.0 : 0.8);
        p.drawEllipse(at, d, d);
      }
      p.end();
      Save(image, QString("tray_%1_%2.png").arg(frame + 1).arg(size));
    }
}

// --- push buttons ----------------------------------------------------------------------------

struct ButtonLook {
  QColor border, top, bottom, inner;  // inner: a second ring inside the border (alpha 0: none)
  bool litEdge;
};

// One 40×23 state, pixel-exact so that no blended edge shows against the white key.
void DrawButtonState(QImage& image, int x0, const ButtonLook& look) {
  const int w = 40, h = 23;
  for (int y = 0; y < h; ++y) {
    const qreal t = y / qreal(h - 1);
    const QColor fill = QColor::fromRgbF(look.top.redF() + (look.bottom.redF() - look.top.redF()) * t,
                                         look.top.greenF() + (look.bottom.greenF() - look.top.greenF()) * t,
                                         look.top.blueF() + (look.bottom.blueF() - look.top.blueF()) * t);
    for (int x = 0; x < w; ++x) image.setPixelColor(x0 + x, y, fill);
  }
  for (int x = 0; x < w; ++x) {
    image.setPixelColor(x0 + x, 0, look.border);
    image.setPixelColor(x0 + x, h - 1, look.border);
  }
  for (int y = 0; y < h; ++y) {
    image.setPixelColor(x0, y, look.border);
    image.setPixelColor(x0 + w - 1, y, look.border);
  }
  if (look.inner.alpha() > 0) {
    for (int x = 1; x < w - 1; ++x) {
      image.setPixelColor(x0 + x, 1, look.inner);
      image.setPixelColor(x0 + x, h - 2, look.inner);
    }
    for (int y = 1; y < h - 1; ++y) {
      image.setPixelColor(x0 + 1, y, look.inner);
      image.setPixelColor(x0 + w - 2, y, look.inner);
    }
  } else if (look.litEdge) {
    for (int x = 2; x < w - 2; ++x) image.setPixelColor(x0 + x, 1, QColor(254, 254, 254));
  }
  // Rounded corners: the corner pixel is the key, its neighbours soften the turn.
  const QColor soft = QColor::fromRgbF((look.border.redF() + 1) / 2, (look.border.greenF() + 1) / 2,
                                       (look.border.blueF() + 1) / 2);
  const int cx[2] = {0, w - 1};
  const int cy[2] = {0, h - 1};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      image.setPixelColor(x0 + cx[i], cy[j], kWhiteKey);
      const QColor s = soft.rgb() == kWhiteKey.rgb() ? QColor(254, 254, 254) : soft;
      image.setPixelColor(x0 + cx[i] + (i == 0 ? 1 : -1), cy[j], s);
      image.setPixelColor(x0 + cx[i], cy[j] + (j == 0 ? 1 : -1), s);
      image.setPixelColor(x0 + cx[i] + (i == 0 ? 1 : -1), cy[j] + (j == 0 ? 1 : -1), look.border);
    }
}

void ButtonStrip(const QString& name, const ButtonLook looks[5]) {
  QImage image = NewImage(200, 23, kWhiteKey);
  for (int i = 0; i < 5; ++i) DrawButtonState(image, 40 * i, looks[i]);
  Save(image, name);
}

void Buttons() {
  const QColor none(0, 0, 0, 0);
  // normal, pressed, focused, disabled, mouse-over
  const ButtonLook plain[5] = {
      {QColor(110, 116, 128), QColor(248, 248, 248), QColor(206, 208, 212), none, true},
      {QColor(52, 66, 96), QColor(176, 186, 204), QColor(218, 224, 234), none, false},
      {kBrand, QColor(248, 248, 248), QColor(206, 208, 212), QColor(150, 176, 222), false},
      {QColor(160, 160, 160), QColor(218, 218, 218), QColor(206, 206, 206), none, false},
      {kBrand, QColor(253, 253, 253), QColor(206, 220, 244), none, true},
  };
  const ButtonLook start[5] = {
      {QColor(40, 66, 118), QColor(236, 242, 252), QColor(170, 192, 230), none, true},
      {QColor(28, 46, 86), QColor(150, 174, 216), QColor(206, 218, 240), none, false},
      {QColor(28, 46, 86), QColor(236, 242, 252), QColor(170, 192, 230), QColor(120, 152, 210), false},
      {QColor(160, 160, 160), QColor(218, 218, 218), QColor(206, 206, 206), none, false},
      {QColor(40, 66, 118), QColor(250, 252, 254), QColor(188, 210, 246), none, true},
  };
  ButtonStrip("button.png", plain);
  ButtonStrip("button_start.png", start);
  ButtonStrip("button_about.png", plain);
}

// --- file-type strip -------------------------------------------------------------------------

// A 3×5 pixel alphabet for the type labels.
const char* LetterRows(char ch) {
  switch (ch) {
    case 'A': return ".X.X.XXXXX.XX.X";
    case 'F': return "XXXX..XX.X..X..";
    case 'G': return ".XXX..X.XX.X.XX";
    case 'I': return "XXX.X..X..X.XXX";
    case 'K': return "X.XX.XXX.X.XX.X";
    case 'L': return "X..X..X..X..XXX";
    case 'M': return "X.XXXXXXXX.XX.X";
    case 'O': return ".X.X.XX.XX.X.X.";
    case 'P': return "XX.X.XXX.X..X..";
    case 'S': return ".XXX...X...XXX.";
    case 'T': return "XXX.X..X..X..X.";
    case 'V': return "X.XX.XX.XX.X.X.";
    case 'W': return "X.XX.XX.XXXXX.X";
    case '3': return "XX...X.X...XXX.";
    case '4': return "X.XX.XXXX..X..X";
    default: return "...............";
  }
}

void DrawLabel(QImage& image, int x0, int y0, const char* text, const QColor& c) {
  for (int i = 0; text[i] != '\0'; ++i) {
    const char* rows = LetterRows(text[i]);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 3; ++x)
        if (rows[y * 3 + x] == 'X') image.setPixelColor(x0 + i * 4 + x, y0 + y, c);
  }
}

void FileTypes() {
  struct Type {
    const char* label;
    bool audio;
    QColor color;
  };
  const Type types[16] = {
      {"", false, QColor(128, 128, 128)},     {"MP3", true, QColor(214, 100, 30)},
      {"OGG", true, QColor(126, 78, 168)},    {"WMA", true, QColor(36, 120, 196)},
      {"WMV", false, QColor(36, 100, 180)},   {"MPG", false, QColor(56, 136, 56)},
      {"AVI", false, QColor(178, 52, 52)},    {"OGM", false, QColor(112, 70, 156)},
      {"MKV", false, QColor(30, 128, 128)},   {"ASF", false, QColor(84, 96, 168)},
      {"M4A", true, QColor(196, 56, 116)},    {"M4V", false, QColor(150, 104, 30)},
      {"MP4", false, kBrand},                 {"MOV", false, QColor(92, 100, 116)},
      {"FLV", false, QColor(204, 70, 36)},    {"MTS", false, QColor(84, 124, 36)},
  };
  QImage image = NewImage(240, 16, kWhiteKey);
  const QColor paper(250, 250, 250), edge(120, 120, 120), fold(214, 214, 214);
  for (int i = 0; i < 16; ++i) {
    const int x0 = 15 * i;
    const Type& t = types[i];
    // The page: x 1..13, y 0..15, the top-right corner folded.
    for (int y = 0; y < 16; ++y)
      for (int x = 1; x <= 13; ++x) {
        const bool border = x == 1 || x == 13 || y == 0 || y == 15;
        image.setPixelColor(x0 + x, y, border ? edge : paper);
      }
    for (int k = 0; k < 4; ++k)
      for (int x = 13 - 3 + k; x <= 13; ++x) image.setPixelColor(x0 + x, k, kWhiteKey);
    for (int k = 0; k < 4; ++k) image.setPixelColor(x0 + 10 + k, k, edge);
    for (int y = 0; y < 4; ++y) image.setPixelColor(x0 + 10, y, edge);
    for (int x = 10; x <= 13; ++x) image.setPixelColor(x0 + x, 3, edge);
    for (int y = 1; y < 3; ++y)
      for (int x = 11; x < 10 + y + 1; ++x) image.setPixelColor(x0 + x, y, fold);
    if (i == 0) {
      // No type known: a plain page with text lines.
      for (int y : {5, 8, 11})
        for (int x = 4; x <= 10; ++x) image.setPixelColor(x0 + x, y, QColor(170, 170, 170));
      continue;
    }
    // The type's band with its name, and its glyph above.
    for (int y = 9; y <= 15; ++y)
      for (int x = 1; x <= 13; ++x) image.setPixelColor(x0 + x, y, t.color);
    DrawLabel(image, x0 + 2, 10, t.label, QColor(254, 254, 254));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(x0, 0);
    p.setPen(Qt::NoPen);
    p.setBrush(t.color);
    if (t.audio) {
      // A quaver.
      p.drawEllipse(QRectF(3.0, 5.2, 3.6, 3.0));
      p.fillRect(QRectF(5.6, 1.5, 1.0, 5.2), t.color);
      p.drawPolygon(QPolygonF() << QPointF(6.2, 1.5) << QPointF(9.2, 3.2) << QPointF(9.2, 4.4)
                                << QPointF(6.2, 2.9));
    } else {
      // A film frame with its play mark.
      p.drawPolygon(QPolygonF() << QPointF(4.2, 2.0) << QPointF(4.2, 8.0) << QPointF(9.0, 5.0));
    }
    p.end();
  }
  // Anything the painter blended with the white key becomes key or stays opaque: no halo.
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 240; ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.red() >= 250 && c.green() >= 250 && c.blue() >= 250 && c.rgb() != kWhiteKey.rgb() &&
          c.rgb() != paper.rgb() && c.rgb() != QColor(254, 254, 254).rgb())
        image.setPixelColor(x, y, kWhiteKey);
    }
  Save(image, "filetypes.png");
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: drawskin OUTPUT_FOLDER\n");
    return 2;
  }
  g_out = QString::fromLocal8Bit(argv[1]);
  if (!QDir().mkpath(g_out)) {
    std::fprintf(stderr, "drawskin: cannot create %s\n", argv[1]);
    return 1;
  }
  Caption(true);
  Caption(false);
  Borders();
  Bottom();
  CaptionButtons();
  Logo();
  ProgramIcons();
  TrayFrames();
  Buttons();
  FileTypes();
  return 0;
}
