// What an encoder line complains about: the words a failed file's cause is made of.
#include <gtest/gtest.h>

#include "encoder/OutputMonitor.h"

TEST(EncoderComplaint, Table) {
  struct Case {
    const char* line;
    const char* complaint;  // empty: the line complains of nothing
  };
  for (const Case& c : std::vector<Case>{
           // ffmpeg's tag of the speaking part goes; the words stay.
           {"[mov,mp4,m4a,3gp,3g2,mj2 @ 0x55c245e321c0] moov atom not found", "moov atom not found"},
           {"/in/x.mp4: Invalid data found when processing input", "/in/x.mp4: Invalid data found when processing input"},
           {"Error while opening encoder for output stream #0:0 - maybe incorrect parameters",
            "Error while opening encoder for output stream #0:0 - maybe incorrect parameters"},
           {"[libx264 @ 0x1] Unknown encoder 'libvo_aacenc'", "Unknown encoder 'libvo_aacenc'"},
           {"Cannot open file/device.", "Cannot open file/device."},
           {"/out/x.mp4: No space left on device", "/out/x.mp4: No space left on device"},
           // A bracket without an instance address is not ffmpeg's tag.
           {"[note] something failed", "[note] something failed"},
           // Consequences, listings and progress say nothing of the cause.
           {"Conversion failed!", ""},
           {"  configuration: --disable-error-resilience --enable-gpl", ""},
           {"    Stream #0:0: Video: mpeg4, yuv420p, 96x64", ""},
           {"frame=   20 fps=0.0 q=-1.0 Lsize=      25kB time=00:00:01.90 bitrate= 107.8kbits/s", ""},
           {"Press [q] to stop, [?] for help", ""},
           {"", ""},
       }) {
    EXPECT_EQ(EncoderComplaint(c.line), c.complaint) << c.line;
  }
}

TEST(EncoderComplaint, MonitorKeepsTheFirstComplaintAfterTheLastProgress) {
  struct Display : BatchDisplay {
    void SetText(DisplayText, const std::string&) override {}
    void SetBar(DisplayBar, int) override {}
    void SelectRow(int) override {}
    void SetControlsEnabled(bool) override {}
    void SetTrayAnimation(bool) override {}
  } display;
  OutputMonitor monitor(display);
  monitor.m_zRowVal.ulProbeDuration = 10;
  monitor.ProcessChunk("[h264 @ 0x1] error while decoding MB 3 4\n");
  monitor.ProcessChunk("frame=   10 fps=0 q=0 size=1kB time=00:00:01.00 b=1\r");
  EXPECT_EQ(monitor.m_zRowVal.szComplaint.Get(), "");  // got over: progress went on
  monitor.ProcessChunk("[mov @ 0x2] moov atom not found\nx.mp4: Invalid data found when processing input\n");
  monitor.ProcessChunk("Conversion failed!\n");
  EXPECT_EQ(monitor.m_zRowVal.szComplaint.Get(), "moov atom not found");
}
