// Placeholder until the framework lands.
int quilla_framework_placeholder() { return 0; }
