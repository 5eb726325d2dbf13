// A loadable library without a single SKF function.
extern "C" int token_emptylib_marker()
{
    return 1;
}
