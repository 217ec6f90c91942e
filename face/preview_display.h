#pragma once
// Whether the preview window can be shown: Qt's highgui aborts the process when no display is reachable,
// so this is asked before the first highgui call.
bool preview_display_available();
