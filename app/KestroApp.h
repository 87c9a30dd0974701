#pragma once

// The program's entry: the application object, the single-instance rule and the start-up.
class KestroApp {
public:
    static int main(int argc, char* argv[]);
};
