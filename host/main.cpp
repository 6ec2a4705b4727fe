#include "../runtime/console.hpp"
int main(int, char **) { dircast::log_text("dircast-serve: start\n"); return 0; }
