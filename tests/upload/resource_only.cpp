// Body of the test libraries that exist only for their resources.
extern "C" __declspec(dllexport) int QuillmarkTestResourceOnly() { return 0; }
