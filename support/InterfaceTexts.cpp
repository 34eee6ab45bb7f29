// The Korean and English interface text tables.
#include "support/InterfaceTexts.h"

namespace {

constexpr int kHangulCharset = 129;
constexpr int kAnsiCharset = 0;

}  // namespace

const InterfaceTexts kKoreanTexts = {
    "젤보라 - 프로그램 정보",
    "젤보라 미디어 인코더",
    {kHangulCharset, 12, "돋움체"},
    {kHangulCharset, 12, "돋움체"},
    "기술 지원",
    "확 인",
    "젤보라 미디어 인코더",
    "인코딩 설정",
    {"    파일명", "재생시간", "비디오", "오디오", "넓이", "높이", "전송률", "파일크기", "형식", "상태", "", ""},
    "미디어 파일을 분석중입니다. 잠시만 기다려 주십시오.",
    "미디어 파일을 분석 완료하였습니다.",
    "미디어 파일을 변환중입니다.",
    "미디어 파일을 변환 완료하였습니다.",
    "사용자에 의해 중지되었습니다.",
    "모바일용 스트리밍 미디어파일로 변환 중입니다.",
    "미디어 파일 변환중 1건 이상의 오류 발생.(로그파일 참조)",
    "실패",
    "대기",
    "진행",
    "완료",
    "오류",
    {"비디오 설정", "오디오 설정", "자막매핑 설정", "기타 설정"},
    "미디어 파일과 같은 디렉토리",
    "인코딩 취소",
    "인코딩 시작",
    "자막포함",
    "종료 확인",
    "인코딩 작업 중입니다. 종료하시겠습니까?",
    "여기에 변환할 미디어 파일을 끌어 놓으십시오.",
    "영상 인코딩시 자막파일(.smi) 영상에 매핑하기",
    "자막파일(.srt) 컨테이너에 포함하기",
    "원본파일과 목적파일이 같습니다.",
    "인코딩 프로세스 생성을 할수 없습니다.",
    {"파일 복사중 오류 발생. (File Path Error.)", "파일 복사중 오류 발생. (읽기 파일을 열 수 없습니다.)",
     "파일 복사중 오류 발생. (쓰기 파일을 열 수 없습니다.)", "파일 복사중 예외상황 발생."},
    "프로그램 업데이트가 정상적으로 완료 되지 않았습니다.\n실행중 문제가 발생할 수 있습니다.\n"
    "프로그램을 다시 설치하시기를 권장드립니다.",
    "영상을 xvid압축으로 설정할 경우, 가로 세로 비율이 영상규격에 맞아야 합니다.",
    "자막파일(*.srt)의 동기화 시간 정보가 잘못되었습니다.",
};

// Every text is filled, so an English user never meets an empty button or status.
const InterfaceTexts kEnglishTexts = {
    "ZELVORA - Program Information",
    "ZELVORA Media Encoder",
    {kAnsiCharset, 13, "Verdana"},
    {kAnsiCharset, 13, "Verdana"},
    "Support",
    "OK",
    "Zelvora Media Encoder",
    "Encoding Option",
    {"    file name", "duration", "video", "audio", "width", "height", "bitrate", "size", "type", "status", "",
     ""},
    "Analysing the media files. Please wait.",
    "The media files have been analysed.",
    "Converting the media files.",
    "The media files have been converted.",
    "Stopped by the user.",
    "Converting to streaming media files for mobile devices.",
    "One or more errors occurred while converting the media files. (see the log file)",
    "Failed",
    "Waiting",
    "Working",
    "Done",
    "Error",
    {"Video", "Audio", "Subtitles", "Other"},
    "The folder of the media file",
    "Cancel encoding",
    "Start encoding",
    "with subtitles",
    "Confirm exit",
    "Encoding is in progress. Do you want to quit?",
    "Drop the media files to convert here.",
    "Burn the subtitle file (.smi) into the video",
    "Include the subtitle file (.srt) in the container",
    "The source file and the target file are the same.",
    "The encoding process could not be started.",
    {"Error while copying a file. (File Path Error.)", "Error while copying a file. (The source cannot be opened.)",
     "Error while copying a file. (The target cannot be opened.)", "Unexpected error while copying a file."},
    "The program update did not complete.\nThe program may not work correctly.\n"
    "Please install the program again.",
    "With xvid compression the width and height must suit the video standard's aspect ratio.",
    "The timing information of the subtitle file (*.srt) is invalid.",
};

const InterfaceTexts& SelectInterfaceTexts(int language) { return language == 1 ? kEnglishTexts : kKoreanTexts; }
