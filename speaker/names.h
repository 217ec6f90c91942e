#pragma once
// lumivar_speaker's exit statuses and the texts its lines share, each spelt here and nowhere else.
// 0: a normal end (the input streams ended or a stop signal), or help.

// The command line was refused (or --out cannot be written): a message on standard error, the usage text.
constexpr int kRejectedCommandLineStatus = 2;
// --faces or --voice cannot be opened for reading.
constexpr int kInputUnreadableStatus = 3;
// --calibrate: the voice was matched to the face at fewer than three places.
constexpr int kTooFewPlacesStatus = 4;
// --calibrate: a picture joined to the speech held two faces or more.
constexpr int kTwoFacesStatus = 5;
// --calibrate: no sign and offset explain the voice's angles.
constexpr int kFitExplainsNothingStatus = 6;

// The speaker of speech that no face in the picture explains.
constexpr const char *kUnseenSpeaker = "unseen";
// The summary's seconds of speech given to no speaker.
constexpr const char *kNobody = "nobody";
