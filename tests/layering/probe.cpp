// Links one library whole (see CMakeLists.txt); runs nothing.
int main() {
    return 0;
}
