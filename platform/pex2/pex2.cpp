// placeholder: replaced by the simulator
